/*
 * vanto_edit/viewport.h — viewports: windows onto a session's edited data.
 *
 * A viewport shows up to its capacity (1 to VANTO_VIEWPORT_CAPACITY_LIMIT
 * bytes) of a session's edited data from an offset.  It is created with
 * vanto_edit_create_viewport and destroyed with vanto_edit_destroy_viewport
 * (see edit.h).  A fixed viewport stays at its offset; a floating one moves
 * with its content when bytes are inserted or deleted at or before it (never
 * below offset 0).
 *
 * Viewports are refilled lazily: a change that touches a viewport only marks
 * it as having changes and sends it VIEWPORT_EVENT_EDIT (VIEWPORT_EVENT_UNDO
 * for an undone change); the bytes are read again from the session the next
 * time vanto_viewport_get_data (or vanto_viewport_get_string) is called.
 * Length and following byte count are answered without reading.
 *
 * Events: each viewport has an optional callback and a 32-bit interest mask.
 * An event reaches the callback when one is set, the mask has the event's
 * bit, and the session's viewport callbacks are not paused
 * (vanto_session_pause_viewport_event_callbacks, session.h).  Undelivered
 * events are dropped, never queued; the mark is set either way.
 *
 * Ownership: a viewport belongs to its session and goes with it.  The data
 * pointer it hands out is borrowed: it points into the viewport's own buffer,
 * stays valid until the viewport is modified or destroyed (or its session
 * destroyed), and its contents change at the next refill.
 *
 * Threading: a viewport is used on the thread that uses its session, one call
 * at a time.  Callbacks run synchronously inside the call that caused them;
 * a callback may read any viewport of the session and may destroy any of
 * them (its own included): a destroyed viewport is sent nothing more.  Which
 * changes a callback may make is listed in session.h.
 *
 * Null handles: queries return 0 (null for pointers, an empty string for the
 * string form); vanto_viewport_modify returns -1; vanto_viewport_notify
 * returns 0.
 */
#ifndef VANTO_EDIT_VIEWPORT_H
#define VANTO_EDIT_VIEWPORT_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Moves and/or resizes a viewport: `offset` becomes its base offset (any
 * movement it made is forgotten), `capacity` its capacity and `is_floating`
 * (non-zero for floating) its kind.  The old buffer is freed and a new one
 * allocated, so data pointers obtained earlier become invalid.  The viewport
 * is then marked as having changes and sent VIEWPORT_EVENT_MODIFY with a
 * null event pointer.  Returns 0; 0 without any effect when base offset,
 * capacity and kind are already the requested ones; -1, changing nothing,
 * for a capacity outside 1 to VANTO_VIEWPORT_CAPACITY_LIMIT or a null
 * viewport.
 */
VANTO_EXPORT int vanto_viewport_modify(vanto_viewport_t *viewport, int64_t offset, int64_t capacity,
                                       int is_floating);

/*
 * The viewport's bytes, followed by a zero byte.  A viewport marked as having
 * changes is refilled from the session's current data first, which clears
 * the mark.  Returns null when the refill fails (the offset lies outside the
 * data, or the backing file cannot be read); the mark is cleared all the
 * same, and later calls keep returning null (reporting length 0) until the
 * viewport is marked again (a change touches it, the changes are cleared or
 * transformed) or modified.  Null for a null viewport.
 * Borrowed: valid until the viewport is modified or destroyed; the contents
 * change at the next refill.
 */
VANTO_EXPORT const unsigned char *vanto_viewport_get_data(const vanto_viewport_t *viewport);

/*
 * Number of bytes the viewport shows.  Without refilling: for a marked
 * viewport this is the length the refill will produce (the capacity, or
 * fewer near the end of the data; 0 beyond the end or at a negative offset).
 * 0 for a null viewport.
 */
VANTO_EXPORT int64_t vanto_viewport_get_length(const vanto_viewport_t *viewport);

/* The viewport's capacity (1 to VANTO_VIEWPORT_CAPACITY_LIMIT); 0 for null. */
VANTO_EXPORT int64_t vanto_viewport_get_capacity(const vanto_viewport_t *viewport);

/*
 * The offset the viewport shows now: its base offset plus the distance a
 * floating viewport has moved since the base was last set.  0 for null.
 */
VANTO_EXPORT int64_t vanto_viewport_get_offset(const vanto_viewport_t *viewport);

/*
 * Bytes of edited data after the viewport's end: data size − length −
 * offset.  Negative for a viewport that starts beyond the end.  0 for null.
 */
VANTO_EXPORT int64_t vanto_viewport_get_following_byte_count(const vanto_viewport_t *viewport);

/* 1 when the viewport is marked as having changes (its data will be refilled), else 0. */
VANTO_EXPORT int vanto_viewport_has_changes(const vanto_viewport_t *viewport);

/*
 * 1 when the range of `length` bytes at `offset` meets the viewport's window
 * (offset + length >= O and offset <= O + N, O the viewport's offset and N
 * its capacity; both ends inclusive), else 0.  0 for null.
 */
VANTO_EXPORT int vanto_viewport_in_segment(const vanto_viewport_t *viewport, int64_t offset,
                                           int64_t length);

/* 1 for a floating viewport, 0 for a fixed one or null. */
VANTO_EXPORT int vanto_viewport_is_floating(const vanto_viewport_t *viewport);

/* The session the viewport belongs to; null for null. */
VANTO_EXPORT vanto_session_t *vanto_viewport_get_session(const vanto_viewport_t *viewport);

/* The user data pointer given at creation; null for null. */
VANTO_EXPORT void *vanto_viewport_get_user_data_ptr(const vanto_viewport_t *viewport);

/* The event callback given at creation (may be null); null for null. */
VANTO_EXPORT vanto_viewport_event_cbk_t vanto_viewport_get_event_cbk(const vanto_viewport_t *viewport);

/* The viewport's event interest mask; 0 for null. */
VANTO_EXPORT int32_t vanto_viewport_get_event_interest(const vanto_viewport_t *viewport);

/* Stores a new interest mask and returns it; later events use it.  0 for null. */
VANTO_EXPORT int32_t vanto_viewport_set_event_interest(vanto_viewport_t *viewport, int32_t interest);

/*
 * Delivers `event` with `event_ptr` to the viewport's callback when one is
 * set, the interest mask has the event's bit and the session's viewport
 * callbacks are not paused.  Returns 1 when the callback was called, else 0
 * (also for null).  Hosts may send events of their own this way.
 */
VANTO_EXPORT int vanto_viewport_notify(const vanto_viewport_t *viewport, int32_t event,
                                       const void *event_ptr);

VANTO_EXTERN_C_END

#ifdef __cplusplus
#include <string>
/*
 * The viewport's bytes as an owned string (refilling a marked viewport as
 * vanto_viewport_get_data does); zero bytes inside the data are kept.  Empty
 * when no data could be read or for a null viewport.
 */
VANTO_EXPORT std::string vanto_viewport_get_string(const vanto_viewport_t *viewport);
#endif

#endif /* VANTO_EDIT_VIEWPORT_H */
