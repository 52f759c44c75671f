/*
 * vanto_edit/find.h — finding a byte pattern in a buffer in memory.
 *
 * A skip table is built once per pattern with vanto_find_create_skip_table
 * and then used by vanto_find over any number of buffers.  The table holds
 * one advance per byte value; it does not keep the pattern, so every search
 * passes the same pattern and length that built the table.  Bytes are
 * compared exactly, as unsigned 8-bit values (no case folding).  The result
 * is always the leftmost occurrence.
 *
 * Ownership: whoever creates a table owns it until
 * vanto_find_destroy_skip_table.  vanto_find allocates nothing and returns a
 * pointer into the caller's haystack.
 *
 * Threading: the functions keep no state.  A table is only read by
 * vanto_find, so one table may serve searches on several threads at once;
 * it must not be destroyed while a search uses it.
 */
#ifndef VANTO_EDIT_FIND_H
#define VANTO_EDIT_FIND_H

#include <stdint.h>

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Builds the skip table of a pattern of pattern_length bytes.
 * Returns a new table owned by the caller (end it with
 * vanto_find_destroy_skip_table), or null when pattern is null while
 * pattern_length is non-zero, or when memory runs out.  A table built for an
 * empty pattern is valid but finds nothing (vanto_find refuses an empty
 * needle).
 */
VANTO_EXPORT vanto_find_skip_table_t *vanto_find_create_skip_table(const unsigned char *pattern,
                                                                  uint64_t pattern_length);

/*
 * Finds the first occurrence of needle (needle_length bytes) in haystack
 * (haystack_length bytes).  table must have been built from the same needle
 * and length; a one-byte needle is found by a plain scan and needs no table.
 * Returns a pointer to the first byte of the leftmost occurrence inside
 * haystack, or null when there is none, when the needle is empty or longer
 * than the haystack, when haystack or needle is null, or when table is null
 * for a needle of two bytes or more.  Always ends, even with a table built
 * from another pattern (the result is then unspecified).  Haystacks of a few
 * KiB or more are scanned many bytes at a time once the table is found to
 * be the needle's own; the result is the same leftmost occurrence.
 */
VANTO_EXPORT const unsigned char *vanto_find(const unsigned char *haystack, uint64_t haystack_length,
                                            const vanto_find_skip_table_t *table,
                                            const unsigned char *needle, uint64_t needle_length);

/* Frees a skip table; a null table is ignored. */
VANTO_EXPORT void vanto_find_destroy_skip_table(vanto_find_skip_table_t *table);

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_FIND_H */
