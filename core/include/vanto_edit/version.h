/*
 * vanto_edit/version.h — which library build is loaded.
 *
 * The version of the loaded library, as one packed number and as its three
 * parts, and the kind of build.  The functions take no arguments, keep no
 * state and may be called from any thread at any time.  The text returned by
 * vanto_libtype is a static constant of the library: do not change or free
 * it; it stays valid while the library is loaded.
 */
#ifndef VANTO_EDIT_VERSION_H
#define VANTO_EDIT_VERSION_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Returns the packed version: major << 24 | minor << 16 | patch
 * (589887, 0x9003F, for version 0.9.63).
 */
VANTO_EXPORT int vanto_version(void);

/* Returns the major version (0). */
VANTO_EXPORT int vanto_version_major(void);

/* Returns the minor version (9). */
VANTO_EXPORT int vanto_version_minor(void);

/* Returns the patch version (63). */
VANTO_EXPORT int vanto_version_patch(void);

/*
 * Returns the kind of build, "shared" for the shared library; the same
 * static text on every call.
 */
VANTO_EXPORT const char *vanto_libtype(void);

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_VERSION_H */
