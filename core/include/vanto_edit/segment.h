/*
 * vanto_edit/segment.h — segments: buffers filled from a session's data.
 *
 * A segment is a caller-owned buffer with an offset, a length and a capacity.
 * vanto_session_get_segment fills it with the edited data at an offset, read
 * through the session's current model (from the backing file and from the
 * changes' bytes); the data as a whole is never loaded.
 *
 * Ownership: a segment made with vanto_segment_create belongs to the host
 * until vanto_segment_destroy; it is not tied to any session.  The data
 * pointer it hands out is borrowed and valid until the next fill or the
 * segment's destruction.
 *
 * Threading: a segment may be used by one thread at a time; filling it uses
 * the session, which must not be used by another thread at the same time.
 * Null handles: queries return 0 (null for the data); destroy ignores null.
 */
#ifndef VANTO_EDIT_SEGMENT_H
#define VANTO_EDIT_SEGMENT_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Creates a segment able to hold `capacity` bytes plus a terminating zero:
 * offset -1, length 0.  Capacities below 8 need no heap block.  Returns null
 * for a negative capacity and when the memory for the buffer cannot be had.
 * The host owns the result.
 */
VANTO_EXPORT vanto_segment_t *vanto_segment_create(int64_t capacity);

/* Destroys a segment and its buffer; null is ignored. */
VANTO_EXPORT void vanto_segment_destroy(vanto_segment_t *segment);

/* Offset in the edited data where the segment starts (-1 before the first fill). */
VANTO_EXPORT int64_t vanto_segment_get_offset(const vanto_segment_t *segment);

/* Number of bytes the segment holds now. */
VANTO_EXPORT int64_t vanto_segment_get_length(const vanto_segment_t *segment);

/* Number of bytes the segment can hold. */
VANTO_EXPORT int64_t vanto_segment_get_capacity(const vanto_segment_t *segment);

/* Offset adjustment added to the offset when reading (0 for host segments). */
VANTO_EXPORT int64_t vanto_segment_get_offset_adjustment(const vanto_segment_t *segment);

/*
 * The segment's bytes, followed by a zero byte after a successful fill; null
 * when the segment has no data (negative length) or is null.  Borrowed: valid
 * until the segment is destroyed; the contents change with each fill.
 */
VANTO_EXPORT const unsigned char *vanto_segment_get_data(const vanto_segment_t *segment);

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_SEGMENT_H */
