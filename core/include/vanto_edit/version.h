/*
 * vanto_edit/version.h
 */
#ifndef VANTO_EDIT_VERSION_H
#define VANTO_EDIT_VERSION_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_VERSION_H */
