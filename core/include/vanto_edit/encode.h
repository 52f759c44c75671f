/*
 * vanto_edit/encode.h — bytes to hexadecimal text and back.
 *
 * The encoder writes lower-case digits ("0123456789abcdef"); the decoder
 * accepts 0-9, a-f and A-F.  Both write into the caller's buffer, follow the
 * output with one zero byte that the returned count does not include, and
 * allocate nothing.  The caller provides the room stated for each function.
 *
 * Threading: no state is kept; calls may run on any thread at once, provided
 * two calls do not write the same buffer at the same time.
 */
#ifndef VANTO_EDIT_ENCODE_H
#define VANTO_EDIT_ENCODE_H

#include <stdint.h>

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Writes each of the length bytes of source as two hexadecimal digits, high
 * half first, into destination, then a zero byte.  destination must hold
 * 2 * length + 1 bytes.
 * Returns the number of digits written, 2 * length (0 for length 0, which
 * writes only the zero byte); 0 when source or destination is null (nothing
 * written).
 */
VANTO_EXPORT uint64_t vanto_encode_bin2hex(const unsigned char *source, char *destination,
                                           uint64_t length);

/*
 * Decodes length characters of hexadecimal text, two digits per byte (the
 * first gives the high half), into destination, then a zero byte.  An odd
 * last character is ignored.  destination must hold length / 2 + 1 bytes.
 * Returns the number of bytes written, length / 2 (0 for a length below 2,
 * which writes only the zero byte).  Returns 0 as soon as a character is not
 * a hexadecimal digit: the bytes decoded before it stay written and no zero
 * byte is added, so a caller tells this from an empty input by the length it
 * passed.  Returns 0, writing nothing, when source or destination is null.
 */
VANTO_EXPORT uint64_t vanto_encode_hex2bin(const char *source, unsigned char *destination,
                                           uint64_t length);

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_ENCODE_H */
