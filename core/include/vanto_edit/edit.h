/*
 * vanto_edit/edit.h — sessions, edits, history, viewports' life, save,
 * checkpoints and transforms.
 *
 * vanto_edit_create_session opens an editing session on a file (or on
 * nothing).  The session's own file is opened for reading only and never
 * written while it is edited; edits are recorded as changes in a piece table.
 * Only vanto_edit_save replaces a file, and then only by renaming a complete
 * new file onto it.
 *
 * Ownership: the host ends every session it creates with
 * vanto_edit_destroy_session, which also destroys the session's viewports and
 * search contexts and removes its checkpoint files.  Viewports belong to their
 * session; a host may destroy one earlier with vanto_edit_destroy_viewport.
 *
 * Results: edit calls return the new change's serial, 0 when refused
 * (nothing recorded, no event) and -1 when the model update fails.  Other
 * calls return 0 for success and a negative number for failure.
 *
 * Threading: a session and everything reachable from it must be used by one
 * thread at a time; separate sessions may be used from separate threads.
 * Event callbacks run synchronously inside the call that causes them, after
 * the state they report is in place.
 *
 * Null handles: edit calls return 0, calls whose success is 0 return -1,
 * creation calls return null, destroy calls ignore null.
 */
#ifndef VANTO_EDIT_EDIT_H
#define VANTO_EDIT_EDIT_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/* ---- sessions ------------------------------------------------------------ */

/*
 * Opens a session on `file_path` (null or "" for a session on nothing), with
 * an optional event callback, user data and event interest mask.  Fires
 * SESSION_EVENT_CREATE.  Returns null, sending no event, when the path cannot
 * be opened for reading, names a directory, or cannot be positioned to its
 * end.  The host owns the session until vanto_edit_destroy_session.
 */
VANTO_EXPORT vanto_session_t *vanto_edit_create_session(const char *file_path,
                                                         vanto_session_event_cbk_t event_cbk,
                                                         void *user_data_ptr, int32_t event_interest);

/*
 * Destroys a session: closes its files, destroys its search contexts and then
 * its viewports (newest first, each with SESSION_EVENT_DESTROY_VIEWPORT),
 * releases its changes and removes its checkpoint files.  The session's own
 * file is never removed.  Null is ignored.  Every handle obtained through the
 * session is invalid afterwards.
 */
VANTO_EXPORT void vanto_edit_destroy_session(vanto_session_t *session);

/* ---- edits ---------------------------------------------------------------- */

/*
 * Deletes `length` bytes at `offset` (clamped to the end of the data).
 * Returns the serial; 0 when changes are paused, length is 0 or less, or the
 * offset is negative or at or beyond the end of the data.
 */
VANTO_EXPORT int64_t vanto_edit_delete(vanto_session_t *session, int64_t offset, int64_t length);

/*
 * Inserts `length` bytes at `offset` (at the end of the data appends).  A
 * length of 0 means `bytes` is a zero-terminated text whose length is
 * measured; null bytes with length 0 record an empty change.  Returns the
 * serial; 0 when changes are paused, length is negative, the offset is
 * negative or beyond the end, or bytes is null with a positive length.
 * The bytes are copied.
 */
VANTO_EXPORT int64_t vanto_edit_insert(vanto_session_t *session, int64_t offset, const char *bytes,
                                       int64_t length);

/* As vanto_edit_insert, for unsigned bytes. */
VANTO_EXPORT int64_t vanto_edit_insert_bytes(vanto_session_t *session, int64_t offset,
                                             const unsigned char *bytes, int64_t length);

/*
 * Overwrites `length` bytes at `offset` with `bytes`; running past the end
 * extends the data.  Length 0, null bytes and refusals as vanto_edit_insert.
 */
VANTO_EXPORT int64_t vanto_edit_overwrite(vanto_session_t *session, int64_t offset, const char *bytes,
                                          int64_t length);

/* As vanto_edit_overwrite, for unsigned bytes. */
VANTO_EXPORT int64_t vanto_edit_overwrite_bytes(vanto_session_t *session, int64_t offset,
                                                const unsigned char *bytes, int64_t length);

/* ---- history ------------------------------------------------------------- */

/*
 * Undoes the newest change transaction at the current checkpoint level, one
 * change at a time (each with its events).  Returns the negated serial of the
 * last change undone (the oldest of the transaction); 0 when changes are
 * paused or nothing can be undone; -1 on failure (the backing file cannot be
 * measured or a remaining change no longer applies), in which case the
 * change is kept in the history.
 */
VANTO_EXPORT int64_t vanto_edit_undo_last_change(vanto_session_t *session);

/*
 * Redoes the most recently undone change transaction.  Returns the serial of
 * the last change redone; 0 when changes are paused or nothing can be
 * redone; -1 on failure, in which case the change stays undone.
 */
VANTO_EXPORT int64_t vanto_edit_redo_last_undo(vanto_session_t *session);

/*
 * Drops every change: the data is the session's own file again.  Checkpoints
 * are destroyed first (newest first, each with its event).  Every viewport is
 * marked and sent VIEWPORT_EVENT_CLEAR, then SESSION_EVENT_CLEAR is fired.
 * Works while changes are paused.  0, or -1 when the backing file cannot be
 * measured (nothing changed then).
 */
VANTO_EXPORT int vanto_edit_clear_changes(vanto_session_t *session);

/* ---- viewports ------------------------------------------------------------ */

/*
 * Creates a viewport of `capacity` bytes (1 to 1,048,576) at `offset`, fixed
 * or floating (moving with its content when bytes are inserted or deleted
 * before it), with an optional event callback.  Sends VIEWPORT_EVENT_CREATE
 * to the new viewport, then SESSION_EVENT_CREATE_VIEWPORT.  Returns null for
 * a capacity out of range or a null session.  The viewport belongs to the
 * session.
 */
VANTO_EXPORT vanto_viewport_t *vanto_edit_create_viewport(vanto_session_t *session, int64_t offset,
                                                          int64_t capacity, int is_floating,
                                                          vanto_viewport_event_cbk_t event_cbk,
                                                          void *user_data_ptr, int32_t event_interest);

/*
 * Destroys a viewport and fires SESSION_EVENT_DESTROY_VIEWPORT with its (now
 * dangling) address.  Null, or a viewport already destroyed, is ignored.
 */
VANTO_EXPORT void vanto_edit_destroy_viewport(vanto_viewport_t *viewport);

/* ---- save, checkpoints, transforms ----------------------------------------- */

/*
 * Saves the edited data to `file_path` through a complete temporary file in
 * the target's directory that is renamed onto the target.  With flags
 * SAVE_FLAG_NONE an existing target is left alone and the data goes to a free
 * name beside it; with SAVE_FLAG_OVERWRITE (any nonzero value) it is
 * replaced, and replacing the session's own file re-bases the session on the
 * saved file (history cleared, SESSION_EVENT_CLEAR).  `saved_file_path`, when
 * not null, is a 260-byte buffer that receives the saved file's absolute
 * path (empty after a failure).  Fires SESSION_EVENT_SAVE on success.
 * Returns 0, or: -1 the directory cannot be created; -2 the temporary name
 * does not fit; -3 the temporary file cannot be created; -4 it cannot be
 * opened as a stream; -5 the backing file cannot be copied; -6 the data
 * cannot be written; -7 the target cannot be replaced; -8 no free name;
 * -9 the rename fails; -10 the saved file cannot be reopened for re-basing.
 */
VANTO_EXPORT int vanto_edit_save(vanto_session_t *session, const char *file_path, int32_t flags,
                                 char *saved_file_path);

/*
 * Freezes the edited data into a checkpoint file in `checkpoint_directory`
 * (created if missing) and goes on editing above it.  Fires SESSION_EVENT_SAVE
 * and SESSION_EVENT_CREATE_CHECKPOINT.  0, or -1 on failure (session
 * unchanged).
 */
VANTO_EXPORT int vanto_edit_create_checkpoint(vanto_session_t *session,
                                              const char *checkpoint_directory);

/*
 * Drops the newest checkpoint with the changes made since, removing its file:
 * the data is again what it was when the checkpoint was taken.  Fires
 * SESSION_EVENT_DESTROY_CHECKPOINT.  0, or -1 when there is no checkpoint.
 */
VANTO_EXPORT int vanto_edit_destroy_last_checkpoint(vanto_session_t *session);

/*
 * Replaces each byte of `length` bytes at `offset` (0 = to the end) by
 * `transform(byte, user_data)`, through a new checkpoint in
 * `checkpoint_directory` whose file is rewritten; destroying that checkpoint
 * takes the transform back.  Every viewport is marked and sent
 * VIEWPORT_EVENT_TRANSFORM, then SESSION_EVENT_TRANSFORM is fired.  0, or -1
 * when changes are paused, the checkpoint cannot be made, the range is out of
 * range, or the file work fails.
 */
VANTO_EXPORT int vanto_edit_apply_transform(vanto_session_t *session, vanto_byte_transform_t transform,
                                            void *user_data, int64_t offset, int64_t length,
                                            const char *checkpoint_directory);

VANTO_EXTERN_C_END

#ifdef __cplusplus
#include <string_view>
/* As vanto_edit_insert with the view's bytes; an empty view records an empty change. */
VANTO_EXPORT int64_t vanto_edit_insert_string(vanto_session_t *session, int64_t offset,
                                              std::string_view bytes);
/* As vanto_edit_overwrite with the view's bytes; an empty view records an empty change. */
VANTO_EXPORT int64_t vanto_edit_overwrite_string(vanto_session_t *session, int64_t offset,
                                                 std::string_view bytes);
#endif

#endif /* VANTO_EDIT_EDIT_H */
