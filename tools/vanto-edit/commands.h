// The commands of the vanto-edit tool.  Each returns the exit status or
// throws Failure (exit status 2) or Interrupted (130).
#ifndef VANTO_EDIT_TOOL_COMMANDS_H
#define VANTO_EDIT_TOOL_COMMANDS_H

#include <string>
#include <vector>

#include "runtime.h"

namespace vtool {

struct DumpOptions {
  std::string file;
  std::string offset;
  std::string length;
  bool all_lines = false;  // no '*' for repeated lines
  std::string format = "hex";
  std::string group_size;  // bytes a group (hex, binary); "" for the format's own
};

struct FindOptions {
  std::string file;
  std::string pattern;
  std::string offset;
  std::string length;
  bool hex = false;
  bool ignore_case = false;
  bool overlapping = false;
  bool count_only = false;
  bool last = false;     // only the last occurrence
  bool reverse = false;  // list from the end
  bool json = false;
};

struct ProfileOptions {
  std::string file;
  std::string offset;
  std::string length;
  bool by_count = false;
  bool json = false;
  std::string blocks;  // --blocks SIZE: the entropy of each block of SIZE bytes
  bool plot = false;   // with --blocks: a sparkline per row of blocks instead of a table
};

struct DiffOptions {
  std::string file1;
  std::string file2;
  std::string resync;  // the window of --resync, "" without it
  bool count_only = false;
  bool json = false;
};

struct HashOptions {
  std::string file;
  std::string offset;
  std::string length;
  std::vector<std::string> algorithms;
  bool json = false;
};

struct ApplyOptions {
  std::string file;
  std::string script;
  OutputOptions output;
  std::string checkpoint_dir;
};

struct ReplaceOptions {
  std::string file;
  std::string pattern;
  std::string replacement;
  bool hex = false;
  bool ignore_case = false;
  std::string max;
  bool json = false;
  OutputOptions output;
};

struct OpenOptions {
  std::string file;
  bool read_only = false;
};

int run_demo(const CommonOptions &common);
// The interactive editor on the terminal (editor/terminal.cpp).
int run_open(const CommonOptions &common, const OpenOptions &options);
int run_dump(const CommonOptions &common, const DumpOptions &options);
int run_find(const CommonOptions &common, const FindOptions &options);
int run_profile(const CommonOptions &common, const ProfileOptions &options);
int run_diff(const CommonOptions &common, const DiffOptions &options);
int run_hash(const CommonOptions &common, const HashOptions &options);
int run_apply(const CommonOptions &common, const ApplyOptions &options);
int run_replace(const CommonOptions &common, const ReplaceOptions &options);

// The edit script syntax, shown by `apply --help`.
extern const char *const kScriptHelp;
// The names --algorithm of hash takes, for its help: "crc32, md5, ...".
std::string hash_algorithm_names();
// What diff prints and what --resync finds, shown by `diff --help`.
extern const char *const kDiffHelp;

}  // namespace vtool

#endif  // VANTO_EDIT_TOOL_COMMANDS_H
