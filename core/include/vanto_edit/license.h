/*
 * vanto_edit/license.h — the licence notice of the library.
 *
 * One function returns the text of the licence under which the library is
 * distributed.  It keeps no state and may be called from any thread.
 */
#ifndef VANTO_EDIT_LICENSE_H
#define VANTO_EDIT_LICENSE_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Returns the licence notice (the MIT licence, starting with the copyright
 * line and ending with a line feed) as a zero-terminated static text owned
 * by the library: the same address on every call, valid while the library
 * is loaded; do not change or free it.
 */
VANTO_EXPORT const char *vanto_license_get(void);

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_LICENSE_H */
