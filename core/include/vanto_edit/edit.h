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
 * calls return 0 for success and a negative number for failure.  Calls made
 * from event callbacks are refused where session.h ("Changes from event
 * callbacks") says so.
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
 * SESSION_EVENT_CREATE.  Only a regular file or a block device (or a link to
 * one) can be edited.  Returns null, sending no event, when the path cannot
 * be opened for reading, names anything else (a directory, FIFO, socket or
 * character device: refused without blocking, also for a FIFO that has no
 * writer), or cannot be positioned to its end.  The host owns the session
 * until vanto_edit_destroy_session.
 */
VANTO_EXPORT vanto_session_t *vanto_edit_create_session(const char *file_path,
                                                         vanto_session_event_cbk_t event_cbk,
                                                         void *user_data_ptr, int32_t event_interest);

/*
 * Destroys a session: closes its files, destroys its search contexts and then
 * its viewports (newest first, each with SESSION_EVENT_DESTROY_VIEWPORT),
 * releases its changes and removes its checkpoint files.  The session's own
 * file is never removed.  Null is ignored.  Every handle obtained through the
 * session is invalid afterwards.  The callbacks of the viewport events may
 * still read the data but change nothing (refused); viewports and search
 * contexts they create are destroyed with the others.
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

/*
 * Inserts `length` bytes of the file at `path`, from `file_offset` on, at
 * `offset` (length < 0: the rest of the file; 0 records an empty change).
 * The bytes are not read now: the file is opened read-only (without
 * blocking, close-on-exec) and kept open while any change, applied or
 * undone, refers to it, and reads, search, profile, save, checkpoints and
 * transforms read its bytes as they read the session's own file, so memory
 * does not grow with the length.  One descriptor serves every change made
 * from the same unchanged file.  The file stays readable after its name is
 * removed or replaced; a file changed in place afterwards may give other
 * bytes or fail reads (vanto_session_get_backing_file_changes reports it,
 * and SAVE_FLAG_REFUSE_IF_CHANGED refuses to save from it).  The change is
 * an insert like any other (serial, events, undo, redo, transactions,
 * visitors); vanto_change_get_bytes gives null for it and
 * vanto_change_copy_bytes reads its bytes.  Returns the serial; 0 when
 * refused as vanto_edit_insert is, or when path is null or empty, cannot be
 * opened for reading, names anything but a regular file (a directory, FIFO,
 * device: refused without blocking), file_offset is negative, or the range
 * reaches beyond the end of the file; -1 when memory runs out.
 */
VANTO_EXPORT int64_t vanto_edit_insert_file(vanto_session_t *session, int64_t offset, const char *path,
                                            int64_t file_offset, int64_t length);

/*
 * Overwrites at `offset` with `length` bytes of the file at `path` from
 * `file_offset` on; running past the end extends the data.  Length, the
 * file's life and refusals as vanto_edit_insert_file.
 */
VANTO_EXPORT int64_t vanto_edit_overwrite_file(vanto_session_t *session, int64_t offset,
                                               const char *path, int64_t file_offset, int64_t length);

/*
 * Replaces every occurrence of `pattern` (pattern_length bytes, at least 1)
 * by `replacement` (replacement_length bytes, 0 or more; may be null when
 * 0) in the range of `length` bytes at `offset` of the data as it is when
 * the call starts (length 0: to the end; a range reaching past the end stops
 * there).  Matches lie wholly inside the range and are taken left to right
 * without overlapping; at most `max` of them when max > 0, all when max < 0,
 * none when max is 0.  flags: REPLACE_FLAG_IGNORE_CASE matches with 'A' to
 * 'Z' folded to 'a' to 'z' (as case-insensitive search contexts do); the
 * replacement is written as given.
 *
 * The data is read once, start to end, before anything is recorded; then
 * each match becomes the smallest edit that replaces it, after the bytes
 * the match and the replacement share at their start and at their end are
 * left alone: one overwrite when what remains has equal lengths, one
 * delete or one insert when one side has nothing left, a delete followed by
 * an insert otherwise, and no change at all for a match that already reads
 * as the replacement.  (Replacing "\r\n" by "\n" so records a one-byte
 * delete per match.)  All changes of the call form one change transaction,
 * which one vanto_edit_undo_last_change undoes whole; inside a transaction
 * the host opened, they join it.  Each change is recorded as an edit call
 * records it: a serial of its own, the viewport step (VIEWPORT_EVENT_EDIT to
 * the viewports it touches, unless viewport callbacks are paused) and one
 * SESSION_EVENT_EDIT with the change, in the order of the matches.  A
 * session callback thus receives one SESSION_EVENT_EDIT per change and
 * nothing else; it must not edit the session meanwhile (the call stops
 * with -1 when the data or the history changes under it).
 *
 * With a progress hook set (vanto_session_set_progress_cbk), the reading
 * pass reports the bytes read out of the range's length; when the hook
 * cancels, nothing is recorded and no event is sent.
 *
 * `count` (may be null) receives the number of matches replaced, those
 * already reading as the replacement included (0 when the call is refused
 * or fails or is cancelled before recording).  Returns the serial of the last change recorded; 0
 * when nothing was recorded (no match, max 0, every match already reading
 * as the replacement) or the call is refused: null session, changes paused
 * or refused by an unfinished operation (session.h), null pattern or pattern_length below 1, replacement_length negative or a
 * null replacement with a positive length, unknown flags, offset negative
 * or beyond the end, length negative.  -1 when the data cannot be read
 * (nothing recorded) or memory runs out or the session changes under the
 * call while recording (the changes recorded so far stay, as one
 * transaction); -2 when the progress hook cancelled (nothing recorded).
 */
VANTO_EXPORT int64_t vanto_edit_replace_all(vanto_session_t *session, const void *pattern,
                                            int64_t pattern_length, const void *replacement,
                                            int64_t replacement_length, int32_t flags, int64_t offset,
                                            int64_t length, int64_t max, int64_t *count);

/* ---- history ------------------------------------------------------------- */

/*
 * Undoes the newest change transaction at the current checkpoint level, one
 * change at a time (each with its events).  Returns the negated serial of the
 * last change undone (the oldest of the transaction); 0 when changes are
 * paused or nothing can be undone; -1 on failure (the backing file cannot be
 * measured or a remaining change no longer applies), in which case the
 * change is kept in the history.  Called from the events of an edit, undo or
 * redo (session or viewport events), or from an event an unfinished
 * operation sends (session.h), it is refused: 0, nothing undone, no event.
 */
VANTO_EXPORT int64_t vanto_edit_undo_last_change(vanto_session_t *session);

/*
 * Redoes the most recently undone change transaction.  Returns the serial of
 * the last change redone; 0 when changes are paused or nothing can be
 * redone, and when refused as undo is (from the events of a change or of an
 * unfinished operation); -1 on failure, in which case the change stays
 * undone.  A new change clears the redo history of the current checkpoint
 * level only: the levels below keep theirs for a rollback.
 */
VANTO_EXPORT int64_t vanto_edit_redo_last_undo(vanto_session_t *session);

/*
 * Drops every change: the data is the session's own file again.  Checkpoints
 * are destroyed first, newest first, each with its file removed and its
 * SESSION_EVENT_DESTROY_CHECKPOINT.  Then every viewport is marked and sent
 * VIEWPORT_EVENT_CLEAR, and SESSION_EVENT_CLEAR is fired; afterwards every
 * change count is 0.  Works while changes are paused.  0, or -1 when the
 * session is null, its own file cannot be measured, or the call comes from
 * an event of an unfinished operation (session.h) (nothing changed then).
 * Changes made from the SESSION_EVENT_DESTROY_CHECKPOINT events it sends are
 * refused.
 */
VANTO_EXPORT int vanto_edit_clear_changes(vanto_session_t *session);

/* ---- viewports ------------------------------------------------------------ */

/*
 * Creates a viewport of `capacity` bytes (1 to 1,048,576) at `offset`, fixed
 * or floating (moving with its content when bytes are inserted or deleted
 * before it), with an optional event callback.  Sends VIEWPORT_EVENT_CREATE
 * to the new viewport, then SESSION_EVENT_CREATE_VIEWPORT.  Returns null for
 * a capacity out of range or a null session, and when a callback of these
 * events destroyed the new viewport (SESSION_EVENT_CREATE_VIEWPORT is then
 * sent only if it was still alive after VIEWPORT_EVENT_CREATE).  The
 * viewport belongs to the session.
 */
VANTO_EXPORT vanto_viewport_t *vanto_edit_create_viewport(vanto_session_t *session, int64_t offset,
                                                          int64_t capacity, int is_floating,
                                                          vanto_viewport_event_cbk_t event_cbk,
                                                          void *user_data_ptr, int32_t event_interest);

/*
 * Destroys a viewport and fires SESSION_EVENT_DESTROY_VIEWPORT with its (now
 * dangling) address, for identity only.  Null is ignored.  The handle is
 * invalid afterwards: passing it again (or passing a viewport of a destroyed
 * session) is a caller error.  A callback may destroy any viewport, its own
 * included, while events are being sent: a destroyed viewport is sent
 * nothing more.
 */
VANTO_EXPORT void vanto_edit_destroy_viewport(vanto_viewport_t *viewport);

/* ---- save, checkpoints, transforms ----------------------------------------- */

/*
 * Saves the edited data to `file_path`.
 *
 * The data is written into a temporary file ".VantoEdit_XXXXXX" in the
 * destination's directory (created with its parents when missing) in large
 * sequential writes whose write-back to the disk starts while the save goes
 * on, fsync'ed and closed, and then renamed onto the destination in one step: an
 * existing file is replaced whole or not at all, never removed first.  The
 * directory is fsync'ed after the rename.  No temporary file remains after a
 * success.
 *
 * flags: SAVE_FLAG_NONE leaves an existing regular file alone and saves under
 * the first free name "<stem>-N<ext>" beside it (a name taken meanwhile is
 * never overwritten); SAVE_FLAG_OVERWRITE replaces it, and so does any other
 * nonzero value of the bits besides SAVE_FLAG_REFUSE_IF_CHANGED (the mode is
 * flags & ~SAVE_FLAG_REFUSE_IF_CHANGED: zero or not).
 * SAVE_FLAG_REFUSE_IF_CHANGED, with either mode, makes the save refuse (-13)
 * when a file the session reads its data from has changed in place since
 * the session was given it: its open descriptor shows another size or
 * modification time (see vanto_session_get_backing_file_changes).  Those are
 * the session's own file, with checkpoints every checkpoint file (each
 * holds data read from the levels below it), and every file inserted from
 * (vanto_edit_insert_file) that a part of the current data is read from.  The files are looked at before
 * anything is written and again once the data is written, before it is put
 * in place; either way nothing is written or left behind and the session is
 * unchanged.  A file replaced or removed by name does not refuse the save:
 * the session still reads the file it was given.  Without the flag nothing
 * is checked.
 * A target that is a symbolic link stays a link: the file it points to is
 * replaced.  A new file gets the usual creation mode: 0666 less the
 * process's umask (and a default ACL of its directory, if any).  A replaced
 * file keeps its permission bits and extended attributes (ACLs among them),
 * and its owner and group where the process may set them (as root, or as
 * the file's owner for a group it belongs to); when the owner or the group
 * cannot be kept, the setuid and setgid bits are dropped.  An attribute that
 * cannot be copied is logged and does not fail the save.  The temporary
 * file is written only through the descriptor that created it; after a
 * re-basing save the session reads the new file through that same file, not
 * through its name.
 *
 * Replacing the session's own file (the file the session was opened on,
 * however many checkpoints exist) re-bases the session on the saved file:
 * every checkpoint is dropped (files removed, one
 * SESSION_EVENT_DESTROY_CHECKPOINT each), all histories are emptied, the
 * viewports are marked without being notified, SESSION_EVENT_CLEAR is fired,
 * and the host's viewport-callback pause state is what it was before.
 * A checkpoint file of the session is never a valid target (-9).
 *
 * saved_file_path: null, or a 260-byte buffer; it is emptied on entry and on
 * success receives the saved file's canonical absolute path, or stays empty
 * when that path is longer than 259 characters or cannot be resolved (the
 * data is saved all the same; a shortened name is never written).  It is also
 * the event pointer of SESSION_EVENT_SAVE, fired last on success.
 *
 * Returns 0, or: -1 null session, null or empty path, the directory cannot
 * be created, or the call comes from an event of an unfinished operation
 * (session.h); -2 the temporary name does not fit in 259 characters; -3 the
 * temporary file cannot be created; -5 the session's files cannot be read
 * whole; -6 the data cannot be written, synced or closed; -8 no free name
 * (the complete temporary file is kept and named in the log); -9 the target
 * is a checkpoint file of the session, or the rename fails (a complete
 * temporary file is kept and named in the log; target and session
 * unchanged); -10 the saved file cannot be reopened for re-basing (the data
 * is saved, the session goes on with its previous data and history); -11 the
 * progress hook (vanto_session_set_progress_cbk) cancelled the save, which
 * then cleans up as a failed one: no temporary file is left, the target and
 * the session are untouched; -12 the target (after its links) exists and is
 * neither a regular file nor a directory (a device, a pipe, a socket):
 * nothing is written and it is left as it is; -13 with
 * SAVE_FLAG_REFUSE_IF_CHANGED, a file the data is read from changed in place
 * (nothing written, no temporary file left).  -4 and -7 are not returned: the data is
 * written without a stream, and an existing target is never removed before
 * the rename.  A file-system error
 * met by the path utilities is logged and returned as the code of the step
 * it arose in (-1 up to the directory, -8 while choosing a free name, -9
 * during the rename); it never reaches the host as an exception.  Except at
 * -8 and -9 no temporary file is left behind.  A failure fires no event.
 * With a progress hook set, the save reports the bytes written out of the
 * data's size, at least every few MiB and once when all are written.
 */
VANTO_EXPORT int vanto_edit_save(vanto_session_t *session, const char *file_path, int32_t flags,
                                 char *saved_file_path);

/*
 * Freezes the edited data into a checkpoint file
 * "<dir>/.VantoEdit-chk.<level>.XXXXXX" (level 1 for the first checkpoint,
 * dir the canonical form of `checkpoint_directory`, created if missing) and
 * goes on editing above it: the changes made so far stay counted but can be
 * undone only after the checkpoint is destroyed.  The file (mode 0600) is
 * created exclusively, written, synced and then read only through the
 * descriptor that created it, so nothing later put at its name is written
 * through or read as the checkpoint.  Fires SESSION_EVENT_SAVE
 * (null pointer) and SESSION_EVENT_CREATE_CHECKPOINT; viewports are not
 * touched.  Changes made from the callback of that SESSION_EVENT_SAVE are
 * refused (the level does not exist yet); from SESSION_EVENT_CREATE_CHECKPOINT
 * they are taken above the new checkpoint.  Returns 0, or -1 (session
 * unchanged, no checkpoint file left) for a call from an event of an
 * unfinished operation (session.h), a null argument, a name that does not fit in 259 characters, a failed
 * or cancelled save (the progress hook sees the save's reports) or a
 * checkpoint file that cannot be opened.
 */
VANTO_EXPORT int vanto_edit_create_checkpoint(vanto_session_t *session,
                                              const char *checkpoint_directory);

/*
 * Drops the newest checkpoint with the changes made since, removing its file:
 * the data, the change count and the history are again what they were when
 * the checkpoint was taken.  Every viewport is marked so that it re-reads the
 * restored data (no viewport event).  Fires SESSION_EVENT_DESTROY_CHECKPOINT.
 * Returns 0 (also when the file could not be removed, which is logged), or -1
 * for a null session or one without checkpoints, or a call from an event of
 * an unfinished operation (session.h).
 */
VANTO_EXPORT int vanto_edit_destroy_last_checkpoint(vanto_session_t *session);

/*
 * Replaces each byte of `length` bytes at `offset` (0 = to the end) by
 * `transform(byte, user_data)`: a new checkpoint is created in
 * `checkpoint_directory` and its file rewritten through the transform, so
 * destroying that checkpoint takes the transform back.  No change record is
 * added.  The rewrite goes into a new file "<checkpoint>_XXXXXX" beside it,
 * written through its own descriptor and renamed onto the checkpoint's name;
 * only the checkpoint this call made is ever rewritten: should it be gone
 * when the rewrite starts, the call fails with -1 and no file is touched.  Events: SESSION_EVENT_SAVE, SESSION_EVENT_CREATE_CHECKPOINT, then
 * VIEWPORT_EVENT_TRANSFORM to every viewport (each is marked), then
 * SESSION_EVENT_TRANSFORM; changes made from the first two are refused.
 * Returns 0, or -1: refused, with nothing changed, for a null argument,
 * while changes are paused, from an event of an unfinished operation
 * (session.h) or when the checkpoint cannot be made; failed, with the new checkpoint (untransformed) left in
 * place, when the range does not lie inside the data (negative offset or
 * length, offset at or past the end, range past the end; every range of an
 * empty session) or the file work fails.  The progress hook sees both passes
 * over the data as one call of twice the data's size: the checkpoint's save,
 * then the rewrite of its file.  A cancel during the save is a failed
 * checkpoint (nothing changed); a cancel during the rewrite is a failed file
 * work (the untransformed checkpoint stays).  Either way the result is -1.
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
