/*
 * vanto_edit/change.h — change records.
 *
 * Every modification of the edited data is a change: a delete, an insert or
 * an overwrite at a byte offset, numbered by a serial (1, 2, 3 … in the order
 * the changes were made, continuing across checkpoints).  A change's serial
 * is positive while it is applied and negated while it is undone.
 *
 * Ownership: changes belong to their session.  The pointers a host receives
 * (from events, history queries and visitors) are borrowed: they stay valid
 * while the change is in the session's change list or undone list, that is
 * until a new change discards the undone ones, the changes are cleared, the
 * checkpoint holding them is destroyed, or the session is destroyed.
 *
 * Threading: as for the session the change belongs to.
 * Null handles: every query returns 0 (null for pointers, an empty string for
 * the C++ overload, -1 for vanto_change_copy_bytes) when given a null change.
 */
#ifndef VANTO_EDIT_CHANGE_H
#define VANTO_EDIT_CHANGE_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/* The change's serial: positive while applied, negative while undone. */
VANTO_EXPORT int64_t vanto_change_get_serial(const vanto_change_t *change);

/*
 * The change's kind as a letter: 'D' delete, 'I' insert, 'O' overwrite
 * (0 for a null change).
 */
VANTO_EXPORT char vanto_change_get_kind_as_char(const vanto_change_t *change);

/* Offset in the edited data where the change applies. */
VANTO_EXPORT int64_t vanto_change_get_offset(const vanto_change_t *change);

/* Number of bytes deleted, inserted or overwritten. */
VANTO_EXPORT int64_t vanto_change_get_length(const vanto_change_t *change);

/*
 * The bytes an insert or overwrite carries, followed by a zero byte; null for
 * a delete, and null for a change made from a file (vanto_edit_insert_file,
 * vanto_edit_overwrite_file), whose bytes are not in memory: read them with
 * vanto_change_copy_bytes.  Borrowed: valid as long as the change itself
 * (see above).
 */
VANTO_EXPORT const unsigned char *vanto_change_get_bytes(const vanto_change_t *change);

/*
 * Copies up to `length` of the change's bytes, from `offset` within them,
 * into the host's `buffer`: from memory, or read from the file of a change
 * made from a file.  Returns the bytes copied (fewer at the end of the
 * change's bytes, 0 at their end and for a delete, which carries none, at
 * offset 0), or -1 for a null change, a negative offset or length, an offset
 * beyond the change's bytes, a null buffer with a positive length, or a
 * read that fails or comes up short (the file shrank).
 */
VANTO_EXPORT int64_t vanto_change_copy_bytes(const vanto_change_t *change, int64_t offset,
                                             void *buffer, int64_t length);

/* The change's transaction bit, 0 or 1. */
VANTO_EXPORT int vanto_change_get_transaction_bit(const vanto_change_t *change);

/* 1 when the change is undone (serial 0 or less), else 0. */
VANTO_EXPORT int vanto_change_is_undone(const vanto_change_t *change);

VANTO_EXTERN_C_END

#ifdef __cplusplus
#include <string>
/*
 * The change's bytes as an owned string (empty for a delete or a null
 * change); a change made from a file is read whole (empty when that fails).
 */
VANTO_EXPORT std::string vanto_change_get_string(const vanto_change_t *change);
#endif

#endif /* VANTO_EDIT_CHANGE_H */
