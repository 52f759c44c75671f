/*
 * vanto_edit/encode.h
 */
#ifndef VANTO_EDIT_ENCODE_H
#define VANTO_EDIT_ENCODE_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_ENCODE_H */
