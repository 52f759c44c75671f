// `vanto-edit apply`: runs an edit script against a session and saves the
// result; nothing is written unless every line went through.
#include <fmt/format.h>

#include "commands.h"
#include "script.h"
#include "text.h"

namespace vtool {

int run_apply(const CommonOptions &common, const ApplyOptions &options) {
  check_input_file(options.file);
  const OutputTarget target(options.file, options.output);

  Progress progress(common);
  // Declared before the session: the checkpoint files go with the session,
  // then the directory that held them.
  CheckpointDir checkpoints(options.checkpoint_dir, target.directory());
  // The input is opened before the script is read (which may come slowly
  // through a pipe): the data the script's offsets refer to is the file as
  // it was then, and a change to it from then on stops the save.
  Session session(options.file, progress);
  const Script script = load_script(options.script);
  const int64_t size_before = session.size();
  run_script(script, session, checkpoints, progress);

  const bool changed =
      vanto_session_get_num_changes(session.get()) > 0 || vanto_session_get_num_checkpoints(session.get()) > 0;
  if (changed || !target.in_place()) target.save(session, progress);
  if (!common.quiet) {
    fmt::print("{}: {} operations applied, {} -> {} bytes{}\n", shown_name(target.path()), script.operations.size(), size_before,
               session.size(), changed || !target.in_place() ? "" : " (unchanged, not rewritten)");
  }
  return kExitOk;
}

}  // namespace vtool
