// vanto-edit: edits files of any size without loading them, through the
// vanto-edit library's public interface.
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

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
With a file name instead of a command, vanto-edit opens the file in the
editor (as `vanto-edit open FILE`); without either, it runs the demo.  The input file is never
modified, except with --in-place, and then only by an atomic save: a new file
beside it renamed onto it.  A command that writes saves nothing when its
input file was changed, replaced or removed while it worked (unless --force).
Exit status: 0 success, 1 nothing found (find) or the files differ (diff),
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
  DiffOptions diff;
  HashOptions hash;
  OpenOptions open;

  CLI::App app("vanto-edit: edit files of any size without loading them into memory", "vanto-edit");
  app.footer(kFooter);
  app.set_version_flag("--version", version_text, "Print the version of vanto-edit and its library");
  add_common(&app, common);
  app.require_subcommand(0, 1);
  app.fallthrough();  // --version after a command too

  CLI::App *demo_cmd = app.add_subcommand("demo", "Walk through what the library does, on a sample file");

  CLI::App *open_cmd = app.add_subcommand("open", "Edit a file interactively in the terminal (F1 lists the keys)");
  open_cmd->add_option("FILE", open.file, "File to edit")->required();
  open_cmd->add_flag("-r,--read-only", open.read_only, "Show the file without allowing edits");

  CLI::App *dump_cmd = app.add_subcommand("dump", "Dump a range: hex and text, plain hex, a C array, a Python literal or bits");
  dump_cmd->add_option("FILE", dump.file, "File to dump")->required();
  add_range(dump_cmd, dump.offset, dump.length);
  dump_cmd->add_flag("-a,--all", dump.all_lines, "Print repeated lines too, instead of one '*'");
  dump_cmd->add_option("-F,--format", dump.format, "hex (offsets, bytes, text), plain (60 hex digits a line), c (an array), "
                                                   "python (a bytes literal) or binary (bits); default hex")
      ->type_name("FORMAT");
  dump_cmd->add_option("-g,--group-size", dump.group_size, "Bytes a group: 1, 2, 4, 8 or 16 (hex), 1, 2, 4 or 8 (binary); default 1")
      ->type_name("N");
  dump_cmd->footer(std::string(kNumbers) +
                   "\nAn edit script takes each format back as data: dump:FORMAT:PATH (see apply --help).");

  CLI::App *diff_cmd = app.add_subcommand("diff", "The ranges in which two files differ");
  diff_cmd->add_option("FILE1", diff.file1, "First file")->required();
  diff_cmd->add_option("FILE2", diff.file2, "Second file")->required();
  diff_cmd->add_flag("--resync{64K}", diff.resync,
                     "--resync[=WINDOW]: find the files' agreement again after an insertion or deletion of up to "
                     "WINDOW bytes (default 64K)");
  diff_cmd->add_flag("-c,--count", diff.count_only, "Print only the number of differing ranges");
  diff_cmd->add_flag("--json", diff.json, "Print the result as JSON");
  diff_cmd->footer(kDiffHelp);

  CLI::App *hash_cmd = app.add_subcommand("hash", "Checksums and digests of a file or a range");
  hash_cmd->add_option("FILE", hash.file, "File to hash")->required();
  add_range(hash_cmd, hash.offset, hash.length);
  hash_cmd->add_option("-a,--algorithm", hash.algorithms,
                       fmt::format("One or more of {} (default sha256; several: repeat the option or separate them "
                                   "with commas)", hash_algorithm_names()))
      ->type_name("NAME")
      ->delimiter(',');
  hash_cmd->add_flag("--json", hash.json, "Print the result as JSON");
  hash_cmd->footer(std::string(kNumbers) +
                   "\nOne algorithm prints \"HEX  FILE\"; several print \"NAME (FILE) = HEX\" each.\n"
                   "A --length that runs past the end of the data is refused.");

  CLI::App *find_cmd = app.add_subcommand("find", "Print the offset of each occurrence of a pattern");
  find_cmd->add_option("FILE", find.file, "File to search")->required();
  find_cmd->add_option("PATTERN", find.pattern, "Bytes to find: text, or hexadecimal digits with --hex")->required();
  find_cmd->add_flag("-x,--hex", find.hex,
                     "PATTERN is hexadecimal (\"de ad be ef\"); '?' matches any nibble (\"50 4b ?? ?? 0? 00\")");
  find_cmd->add_flag("-i,--ignore-case", find.ignore_case, "Match ASCII letters in either case");
  find_cmd->add_flag("--overlapping", find.overlapping, "Also report occurrences that overlap the previous one");
  add_range(find_cmd, find.offset, find.length);
  CLI::Option *count_flag = find_cmd->add_flag("-c,--count", find.count_only, "Print only the number of occurrences");
  CLI::Option *last_flag = find_cmd->add_flag("--last", find.last, "Print only the last occurrence");
  find_cmd->add_flag("--reverse", find.reverse,
                     "List the occurrences from the end (without --overlapping, each ends before the one printed "
                     "before it starts)")
      ->excludes(count_flag)
      ->excludes(last_flag);
  last_flag->excludes(count_flag);
  find_cmd->add_flag("--json", find.json, "Print the result as JSON");
  find_cmd->footer(std::string(kNumbers) + "\nExit status: 0 something found, 1 nothing found, 2 error.");

  CLI::App *profile_cmd = app.add_subcommand("profile", "Byte-frequency profile of a file or a range");
  profile_cmd->add_option("FILE", profile.file, "File to profile")->required();
  add_range(profile_cmd, profile.offset, profile.length);
  profile_cmd->add_flag("--by-count", profile.by_count, "Order the table by count instead of byte value");
  profile_cmd->add_flag("--json", profile.json, "Print the profile as JSON (all 256 counts)");
  CLI::Option *blocks = profile_cmd->add_option("--blocks", profile.blocks,
                                                "The entropy (bits per byte) of each block of SIZE bytes instead")
                            ->type_name("SIZE");
  profile_cmd->add_flag("--plot", profile.plot, "With --blocks: a line of 64 blocks a row, one character each")
      ->needs(blocks)
      ->excludes("--json");
  blocks->excludes("--by-count");
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
  replace_cmd->add_flag("-x,--hex", replace.hex,
                        "PATTERN and REPLACEMENT are hexadecimal; '?' in PATTERN matches any nibble");
  replace_cmd->add_flag("-i,--ignore-case", replace.ignore_case, "Match ASCII letters in either case");
  replace_cmd->add_option("--max", replace.max, "Replace at most the first N occurrences")->type_name("N");
  replace_cmd->add_flag("--json", replace.json, "Print the result as JSON");
  add_output(replace_cmd, replace.output);
  replace_cmd->footer(
      "Occurrences are replaced left to right without overlapping, all in one transaction.\n"
      "In place, a file without occurrences is not rewritten.");

  const std::vector<CLI::App *> commands{demo_cmd, open_cmd, dump_cmd, diff_cmd, hash_cmd, find_cmd, profile_cmd,
                                       apply_cmd, replace_cmd};
  for (CLI::App *command : commands) {
    add_common(command, common);
  }

  // `vanto-edit FILE`: a first word that is no command name but names
  // something that exists opens the editor (options before it, such as
  // --read-only, go to the open command too).  Any other word stays a usage
  // error, so that a mistyped command is not taken for a missing file.
  std::vector<std::string> arguments(argv + 1, argv + argc);
  for (const std::string &word : arguments) {
    if (word == "--") break;
    if (!word.empty() && word[0] == '-') continue;
    const auto named = [&](const CLI::App *command) { return command->get_name() == word; };
    struct stat info {};
    if (std::none_of(commands.begin(), commands.end(), named) && ::stat(word.c_str(), &info) == 0) {
      arguments.insert(arguments.begin(), "open");
    }
    break;
  }
  std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first

  try {
    app.parse(arguments);
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
    if (open_cmd->parsed()) {
      status = run_open(common, open);
    } else if (dump_cmd->parsed()) {
      status = run_dump(common, dump);
    } else if (diff_cmd->parsed()) {
      status = run_diff(common, diff);
    } else if (hash_cmd->parsed()) {
      status = run_hash(common, hash);
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
