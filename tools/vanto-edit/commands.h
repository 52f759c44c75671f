// The commands of the vanto-edit tool.  Each returns the exit status or
// throws Failure (exit status 2) or Interrupted (130).
#ifndef VANTO_EDIT_TOOL_COMMANDS_H
#define VANTO_EDIT_TOOL_COMMANDS_H

#include <string>

#include "runtime.h"

namespace vtool {

struct DumpOptions {
  std::string file;
  std::string offset;
  std::string length;
  bool all_lines = false;  // no '*' for repeated lines
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

int run_demo(const CommonOptions &common);
int run_dump(const CommonOptions &common, const DumpOptions &options);
int run_find(const CommonOptions &common, const FindOptions &options);
int run_profile(const CommonOptions &common, const ProfileOptions &options);
int run_apply(const CommonOptions &common, const ApplyOptions &options);
int run_replace(const CommonOptions &common, const ReplaceOptions &options);

// The edit script syntax, shown by `apply --help`.
extern const char *const kScriptHelp;

}  // namespace vtool

#endif  // VANTO_EDIT_TOOL_COMMANDS_H
