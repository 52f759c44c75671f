/*
 * vanto_edit/session.h — queries and state of an editing session.
 *
 * A session (made with vanto_edit_create_session, see edit.h) edits one file
 * or nothing.  This family reads the session's data through segments, asks
 * its size, counts and fetches its changes, opens and closes transactions,
 * pauses changes and viewport callbacks, delivers events and profiles byte
 * frequencies.
 *
 * Ownership: the session owns everything reachable from it.  Pointers these
 * calls return (paths, changes) are borrowed; each call says how long they
 * stay valid.
 *
 * Threading: the library creates no threads and takes no locks.  A session and
 * everything reachable from it must be used by one thread at a time; event
 * callbacks run synchronously on that thread inside the call that caused
 * them.
 *
 * Changes from event callbacks.  A callback may call the library again.  A
 * change it makes (an edit, undo, redo, clear, checkpoint, rollback, save or
 * transform) is either taken whole, and is then part of the data exactly as
 * counted, or refused with nothing recorded and no event: edits return 0,
 * undo and redo 0, the other calls -1.  Per event:
 *   - refused, because the operation sending it is not finished:
 *     SESSION_EVENT_SAVE sent by the save of a checkpoint (its pointer is
 *     null) or of a transform's checkpoint; SESSION_EVENT_CREATE_CHECKPOINT
 *     sent by vanto_edit_apply_transform (its rewrite follows);
 *     SESSION_EVENT_DESTROY_CHECKPOINT sent by vanto_edit_clear_changes or
 *     by a save that re-bases the session; SESSION_EVENT_DESTROY_VIEWPORT
 *     sent by vanto_edit_destroy_session (the session is going; its data can
 *     still be read);
 *   - undo and redo refused, every other change taken: SESSION_EVENT_EDIT and
 *     SESSION_EVENT_UNDO, and the viewport events VIEWPORT_EVENT_EDIT and
 *     VIEWPORT_EVENT_UNDO (the change reported is still on its way);
 *   - taken: every other event, among them SESSION_EVENT_SAVE of a host's
 *     save, SESSION_EVENT_CREATE_CHECKPOINT of vanto_edit_create_checkpoint,
 *     SESSION_EVENT_DESTROY_CHECKPOINT of vanto_edit_destroy_last_checkpoint,
 *     SESSION_EVENT_CLEAR, SESSION_EVENT_TRANSFORM and the viewport events of
 *     clears and transforms.
 * Callbacks may create and destroy viewports and search contexts from any
 * event: a destroyed one hears nothing more.  Destroying the session itself
 * from a callback is a caller error.
 *
 * Null handles: every call refuses a null session: queries return 0 (null
 * for pointers; -1 for vanto_session_get_backing_file_changes, where 0 means
 * "no change"), calls whose success is 0 return -1, calls without a result
 * do nothing.
 */
#ifndef VANTO_EDIT_SESSION_H
#define VANTO_EDIT_SESSION_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/* ---- identity and events ------------------------------------------------ */

/*
 * Path of the file the current model reads: the session's own file, or the
 * newest checkpoint's file.  Null for a session on nothing.  Borrowed: valid
 * until that model is destroyed (its checkpoint or the session goes) or the
 * session is re-based by a save.
 */
VANTO_EXPORT const char *vanto_session_get_file_path(const vanto_session_t *session);

/*
 * What has changed about the session's own file (the file it was opened on,
 * or the one a save over it re-based it on; never a checkpoint file) since
 * the session opened it or was last re-based, as FILE_CHANGE_* bits:
 * FILE_CHANGE_SIZE and FILE_CHANGE_MTIME when the open file itself (the one
 * the session reads its unedited bytes from) now has another size or
 * modification time (to the nanosecond), FILE_CHANGE_REPLACED when the
 * session's path now leads to another file (device or inode differ: a file
 * renamed onto it, say), FILE_CHANGE_REMOVED when it leads to no file that
 * can be examined.  A file replaced or removed by name still gives the
 * session the data it was opened on; a file changed in place may not.
 * Costs one fstat of the session's descriptor and one stat of its path;
 * nothing is read and the session is not changed.  The session's path is
 * the one vanto_session_get_file_path gives without checkpoints.  Changes
 * within the file system's timestamp granularity that keep the size are not
 * seen.  Files inserted from (vanto_edit_insert_file) that some change still
 * refers to add their FILE_CHANGE_SIZE and FILE_CHANGE_MTIME (one fstat
 * each).  Returns FILE_CHANGE_NONE (0) for a session on nothing, and -1 for a
 * null session.  (See SAVE_FLAG_REFUSE_IF_CHANGED in edit.h for a save that
 * refuses to write data from a changed file.)
 */
VANTO_EXPORT int32_t vanto_session_get_backing_file_changes(const vanto_session_t *session);

/* The user data pointer given at creation. */
VANTO_EXPORT void *vanto_session_get_user_data_ptr(const vanto_session_t *session);

/* The session event callback given at creation (may be null). */
VANTO_EXPORT vanto_session_event_cbk_t vanto_session_get_event_cbk(const vanto_session_t *session);

/* The session's event interest mask. */
VANTO_EXPORT int32_t vanto_session_get_event_interest(const vanto_session_t *session);

/* Stores a new interest mask and returns it; later events use it. */
VANTO_EXPORT int32_t vanto_session_set_event_interest(vanto_session_t *session, int32_t interest);

/*
 * Delivers an event to the session's callback when one is set and the
 * interest mask has the event's bit; otherwise the event is dropped.
 */
VANTO_EXPORT void vanto_session_notify(const vanto_session_t *session, int32_t event,
                                       const void *event_ptr);

/* Number of viewports, search contexts and checkpoints of the session. */
VANTO_EXPORT int64_t vanto_session_get_num_viewports(const vanto_session_t *session);
VANTO_EXPORT int64_t vanto_session_get_num_search_contexts(const vanto_session_t *session);
VANTO_EXPORT int64_t vanto_session_get_num_checkpoints(const vanto_session_t *session);

/* ---- reading the data ---------------------------------------------------- */

/* Size of the edited data in bytes (constant time). */
VANTO_EXPORT int64_t vanto_session_get_computed_file_size(const vanto_session_t *session);

/*
 * Fills `segment` with up to its capacity bytes of the edited data starting at
 * `offset` (the segment's offset is set to it).  Returns 0 on success — the
 * segment's length tells how many bytes were filled, fewer at the end of the
 * data, 0 at the end itself; -1 when the offset lies outside the data or the
 * backing file cannot be read (it was truncated or a read failed), or for a
 * null session or segment.
 */
VANTO_EXPORT int vanto_session_get_segment(const vanto_session_t *session, vanto_segment_t *segment,
                                           int64_t offset);

/*
 * Copies up to `length` bytes of the edited data starting at `offset` into
 * the caller's `buffer`, read like a segment fill but without a segment's
 * buffer in between (the buffer needs no room for a terminator, and none is
 * written).  Returns the number of bytes copied: `length`, fewer at the end
 * of the data, 0 at the end itself or for a length of 0 (buffer may then be
 * null).  Returns -1, with the contents of the buffer undefined, for a null
 * session, a null buffer with a positive length, a negative length, an
 * offset outside 0 to the data's size, or a backing file that cannot be read
 * (it was truncated or a read failed).
 */
VANTO_EXPORT int64_t vanto_session_read(const vanto_session_t *session, int64_t offset, void *buffer,
                                        int64_t length);

/* ---- history ------------------------------------------------------------- */

/* Number of changes of the session (all checkpoint levels). */
VANTO_EXPORT int64_t vanto_session_get_num_changes(const vanto_session_t *session);

/* Number of undone changes at the current checkpoint level. */
VANTO_EXPORT int64_t vanto_session_get_num_undone_changes(const vanto_session_t *session);

/* Number of change transactions in the change lists of all levels. */
VANTO_EXPORT int64_t vanto_session_get_num_change_transactions(const vanto_session_t *session);

/* Number of change transactions in the undone lists of all levels. */
VANTO_EXPORT int64_t vanto_session_get_num_undone_change_transactions(const vanto_session_t *session);

/*
 * The newest change at the current level, or null.  Borrowed (see change.h).
 */
VANTO_EXPORT const vanto_change_t *vanto_session_get_last_change(const vanto_session_t *session);

/* The most recently undone change at the current level, or null.  Borrowed. */
VANTO_EXPORT const vanto_change_t *vanto_session_get_last_undo(const vanto_session_t *session);

/*
 * The change with the given serial: a positive serial finds an applied change
 * at any checkpoint level, a negative one an undone change at the current
 * level.  Null for serial 0 or when no change has it.  Borrowed.
 */
VANTO_EXPORT const vanto_change_t *vanto_session_get_change(const vanto_session_t *session,
                                                            int64_t serial);

/* ---- transactions and pausing ------------------------------------------- */

/*
 * Opens a transaction: the changes made until it is closed are undone and
 * redone as one.  0, or -1 when one is already open (transactions do not nest).
 */
VANTO_EXPORT int vanto_session_begin_transaction(vanto_session_t *session);

/* Closes the open transaction.  0, or -1 when none is open. */
VANTO_EXPORT int vanto_session_end_transaction(vanto_session_t *session);

/*
 * 0 when no transaction is open, 1 when one is open without changes yet, 2
 * when the open transaction holds at least one change.
 */
VANTO_EXPORT int vanto_session_get_transaction_state(const vanto_session_t *session);

/*
 * Pauses changes: edits, undo and redo are refused (result 0) until resumed.
 * Fires SESSION_EVENT_CHANGES_PAUSED on the transition only.
 */
VANTO_EXPORT void vanto_session_pause_changes(vanto_session_t *session);

/* Resumes changes; fires SESSION_EVENT_CHANGES_RESUMED on the transition only. */
VANTO_EXPORT void vanto_session_resume_changes(vanto_session_t *session);

/* 1 when changes are paused, else 0. */
VANTO_EXPORT int vanto_session_changes_paused(const vanto_session_t *session);

/*
 * Pauses viewport callbacks: viewports are still marked by changes but hear
 * nothing until resumed.  A flag, not a counter.
 */
VANTO_EXPORT void vanto_session_pause_viewport_event_callbacks(vanto_session_t *session);

/* Resumes viewport callbacks; sends nothing (see vanto_session_notify_changed_viewports). */
VANTO_EXPORT void vanto_session_resume_viewport_event_callbacks(vanto_session_t *session);

/* 1 when viewport callbacks are paused, else 0. */
VANTO_EXPORT int vanto_session_viewport_event_callbacks_paused(const vanto_session_t *session);

/*
 * Sends VIEWPORT_EVENT_CHANGES to every viewport marked as having changes, in
 * creation order, and returns how many callbacks were called.  Marks stay.
 */
VANTO_EXPORT int vanto_session_notify_changed_viewports(const vanto_session_t *session);

/* ---- progress of long calls ----------------------------------------------- */

/*
 * Sets (or, with a null callback, removes) the session's progress hook.  Save,
 * checkpoint creation, session transforms, vanto_search_next_match and
 * vanto_session_profile call it with the bytes done and the bytes in all, at
 * least every few MiB of data processed and once at the end.  A non-zero
 * return cancels the call: a cancelled save cleans up as a failed one (no
 * temporary file, target untouched) and returns -11; a cancelled checkpoint
 * or transform returns -1 and leaves the session as a failure does; a
 * cancelled search returns 0 and a cancelled profile 1.  The callback runs on
 * the caller's thread inside the call and must not use the session.  Returns
 * 0, or -1 for a null session.
 */
VANTO_EXPORT int vanto_session_set_progress_cbk(vanto_session_t *session, vanto_progress_cbk_t cbk,
                                                void *user_data);

/* ---- inspection ---------------------------------------------------------- */

/*
 * Counts each byte value in `length` bytes of the edited data from `offset`
 * (0 = to the end) into the caller's 256 counters: counter b is the number of
 * bytes of value b.  The counters are cleared first, never accumulated.  The
 * data is read in blocks of at most 1 MiB, whatever the size of the range.
 * Returns 0 on success; a range reaching past the end counts the bytes that
 * exist and returns 0.  Returns 1 when the offset is negative or lies beyond
 * the end of the data, or the length is negative (all counters 0), or when
 * the backing file cannot be read (the counters then hold the counts of the
 * 8 KiB pieces of the range, counted from its start, read before the first
 * one that failed), or when the progress hook cancelled the call (the
 * counters hold what was counted so far).  -1 for a null session or counter
 * array.
 */
VANTO_EXPORT int vanto_session_profile(const vanto_session_t *session, int64_t profile[256],
                                       int64_t offset, int64_t length);

VANTO_EXTERN_C_END

#ifdef __cplusplus
#include <string>
/*
 * `length` bytes of the edited data at `offset` as an owned string; shorter at
 * the end of the data, empty when nothing can be read.
 */
VANTO_EXPORT std::string vanto_session_get_segment_string(const vanto_session_t *session,
                                                          int64_t offset, int64_t length);
#endif

#endif /* VANTO_EDIT_SESSION_H */
