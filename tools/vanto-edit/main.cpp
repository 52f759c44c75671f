// vanto-edit: edits files of any size without loading them, through the
// vanto-edit library's public interface.
#include <cstdio>
#include <cstring>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands.h"
#include "runtime.h"
#include "text.h"

#ifndef VANTO_EDIT_TOOL_VERSION
#define VANTO_EDIT_TOOL_VERSION "unknown"
#endif

namespace {

using namespace vtool;

constexpr const char *kNumbers = "Numbers are decimal or 0x-hexadecimal, with an optional K, M, G or T suffix (powers of 1024).";

constexpr const char *kFooter = R"(
Without a command, vanto-edit runs the demo.  The input file is never
modified, except with --in-place, and then only by an atomic save: a new file
beside it renamed onto it.  A command that writes saves nothing when its
input file was changed, replaced or removed while it worked (unless --force).
Exit status: 0 success, 1 nothing found (find),
2 error (nothing written), 3 the output was written but the report on
standard output could not be printed, 130 interrupted.)";

std::string version_text() {
  return fmt::format("vanto-edit {} (libvanto_edit {}.{}.{}, {})", VANTO_EDIT_TOOL_VERSION, vanto_version_major(),
                     vanto_version_minor(), vanto_version_patch(), vanto_libtype());
}

// Every command takes these, before or after its name.
void add_common(CLI::App *command, CommonOptions &common) {
  command->add_flag("-q,--quiet", common.quiet, "No progress bar and no summary line");
  command->add_flag("-v,--verbose", common.verbose, "Show the library's own log lines");
}

void add_range(CLI::App *command, std::string &offset, std::string &length) {
  command->add_option("-o,--offset", offset, "Start of the range (default 0)")->type_name("N");
  command->add_option("-n,--length", length, "Bytes in the range (default: to the end)")->type_name("N");
}

void add_output(CLI::App *command, OutputOptions &output) {
  CLI::Option *out = command->add_option("--output", output.output, "Write the result to OUT")->type_name("OUT");
  CLI::Option *in_place = command->add_flag("--in-place", output.in_place, "Replace FILE itself, atomically");
  out->excludes(in_place);
  command->add_flag("-f,--force", output.force,
                    "Replace an existing OUT, and save even if FILE changed while vanto-edit worked on it");
}

// Reports a failure; the exit status tells whether the output was written before it.
int failed(const std::string &what) {
  if (written_file().empty()) {
    diagnostics::say(what);
    return kExitError;
  }
  diagnostics::say(fmt::format("{}: written, but the report could not be printed: {}", shown_name(written_file()),
                               what));
  return kExitWrittenNotReported;
}

}  // namespace

int main(int argc, char **argv) {
  CommonOptions common;
  DumpOptions dump;
  FindOptions find;
  ProfileOptions profile;
  ApplyOptions apply;
  ReplaceOptions replace;

  CLI::App app("vanto-edit: edit files of any size without loading them into memory", "vanto-edit");
  app.footer(kFooter);
  app.set_version_flag("--version", version_text, "Print the version of vanto-edit and its library");
  add_common(&app, common);
  app.require_subcommand(0, 1);
  app.fallthrough();  // --version after a command too

  CLI::App *demo_cmd = app.add_subcommand("demo", "Walk through what the library does, on a sample file");

  CLI::App *dump_cmd = app.add_subcommand("dump", "Hex and text dump of a range");
  dump_cmd->add_option("FILE", dump.file, "File to dump")->required();
  add_range(dump_cmd, dump.offset, dump.length);
  dump_cmd->add_flag("-a,--all", dump.all_lines, "Print repeated lines too, instead of one '*'");
  dump_cmd->footer(kNumbers);

  CLI::App *find_cmd = app.add_subcommand("find", "Print the offset of each occurrence of a pattern");
  find_cmd->add_option("FILE", find.file, "File to search")->required();
  find_cmd->add_option("PATTERN", find.pattern, "Bytes to find: text, or hexadecimal digits with --hex")->required();
  find_cmd->add_flag("-x,--hex", find.hex, "PATTERN is hexadecimal (\"de ad be ef\")");
  find_cmd->add_flag("-i,--ignore-case", find.ignore_case, "Match ASCII letters in either case");
  find_cmd->add_flag("--overlapping", find.overlapping, "Also report occurrences that overlap the previous one");
  add_range(find_cmd, find.offset, find.length);
  find_cmd->add_flag("-c,--count", find.count_only, "Print only the number of occurrences");
  find_cmd->add_flag("--json", find.json, "Print the result as JSON");
  find_cmd->footer(std::string(kNumbers) + "\nExit status: 0 something found, 1 nothing found, 2 error.");

  CLI::App *profile_cmd = app.add_subcommand("profile", "Byte-frequency profile of a file or a range");
  profile_cmd->add_option("FILE", profile.file, "File to profile")->required();
  add_range(profile_cmd, profile.offset, profile.length);
  profile_cmd->add_flag("--by-count", profile.by_count, "Order the table by count instead of byte value");
  profile_cmd->add_flag("--json", profile.json, "Print the profile as JSON (all 256 counts)");
  profile_cmd->footer(kNumbers);

  CLI::App *apply_cmd = app.add_subcommand("apply", "Apply an edit script");
  apply_cmd->add_option("FILE", apply.file, "File to edit")->required();
  apply_cmd->add_option("SCRIPT", apply.script, "Edit script ('-' for standard input)")->required();
  add_output(apply_cmd, apply.output);
  apply_cmd->add_option("--checkpoint-dir", apply.checkpoint_dir,
                        "Where checkpoints go: a new hidden directory in DIR (default: beside the output), removed at the end")
      ->type_name("DIR");
  apply_cmd->footer(kScriptHelp);

  CLI::App *replace_cmd = app.add_subcommand("replace", "Replace every occurrence of a pattern");
  replace_cmd->add_option("FILE", replace.file, "File to edit")->required();
  replace_cmd->add_option("PATTERN", replace.pattern, "Bytes to replace")->required();
  replace_cmd->add_option("REPLACEMENT", replace.replacement, "Bytes to put in their place (may be empty)")->required();
  replace_cmd->add_flag("-x,--hex", replace.hex, "PATTERN and REPLACEMENT are hexadecimal");
  replace_cmd->add_flag("-i,--ignore-case", replace.ignore_case, "Match ASCII letters in either case");
  replace_cmd->add_option("--max", replace.max, "Replace at most the first N occurrences")->type_name("N");
  replace_cmd->add_flag("--json", replace.json, "Print the result as JSON");
  add_output(replace_cmd, replace.output);
  replace_cmd->footer(
      "Occurrences are replaced left to right without overlapping, all in one transaction.\n"
      "In place, a file without occurrences is not rewritten.");

  for (CLI::App *command : {demo_cmd, dump_cmd, find_cmd, profile_cmd, apply_cmd, replace_cmd}) {
    add_common(command, common);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    const CLI::App *command = app.get_subcommands().empty() ? &app : app.get_subcommands().front();
    const std::string name = command == &app ? std::string("vanto-edit") : "vanto-edit " + command->get_name();
    // The message can quote an argument: no control character of it reaches the terminal.
    std::fprintf(stderr, "%s: %s (see %s --help)\n", name.c_str(), without_controls(e.what()).c_str(), name.c_str());
    return kExitError;
  }

  diagnostics::init(common.verbose);
  install_interrupt_handlers();
  int status = kExitOk;
  try {
    if (dump_cmd->parsed()) {
      status = run_dump(common, dump);
    } else if (find_cmd->parsed()) {
      status = run_find(common, find);
    } else if (profile_cmd->parsed()) {
      status = run_profile(common, profile);
    } else if (apply_cmd->parsed()) {
      status = run_apply(common, apply);
    } else if (replace_cmd->parsed()) {
      status = run_replace(common, replace);
    } else {
      status = run_demo(common);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      throw_if_interrupted();  // a write to a pipe that a signal broke off
      throw Failure(fmt::format("standard output: {}", std::strerror(errno)));
    }
  } catch (const Interrupted &) {
    std::fflush(stdout);
    diagnostics::say(written_file().empty()
                         ? std::string("interrupted; nothing was written")
                         : fmt::format("{}: written, but interrupted before the report", shown_name(written_file())));
    status = kExitInterrupted;
  } catch (const Failure &failure) {
    std::fflush(stdout);
    status = failed(failure.what());
  } catch (const std::exception &error) {
    std::fflush(stdout);
    status = failed(fmt::format("unexpected error: {}", error.what()));
  }
  diagnostics::shutdown();
  return status;
}
