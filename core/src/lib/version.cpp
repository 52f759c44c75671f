// Version and build kind of the library.

#include "vanto_edit/version.h"

namespace {

constexpr int kMajor = 0;
constexpr int kMinor = 9;
constexpr int kPatch = 63;
static_assert(kMinor < 256 && kPatch < 65536, "version parts must fit their bit fields");

constexpr char kLibType[] = "shared";

}  // namespace

extern "C" {

int vanto_version(void) { return (kMajor << 24) | (kMinor << 16) | kPatch; }

int vanto_version_major(void) { return kMajor; }

int vanto_version_minor(void) { return kMinor; }

int vanto_version_patch(void) { return kPatch; }

const char *vanto_libtype(void) { return kLibType; }

}  // extern "C"
