/*
 * vanto_edit/types.h — the shared vocabulary of the library.
 *
 * Opaque record types, callback types and constants used by every family.
 * The records are created and destroyed only through the library's calls;
 * a host holds plain handles and never frees library memory.
 *
 * Integer widths: offsets, lengths, capacities, serials and counts are
 * signed 64-bit (int64_t); event codes and interest masks are 32-bit;
 * flags and kinds are single bytes.
 *
 * Threading: the library creates no threads and takes no locks, except the
 * one that guards the log sink while it is set or read (never while the sink
 * runs).  A session and everything reachable from it must be used by one
 * thread at a time; separate sessions may be used from separate threads at
 * once.
 *
 * Process-wide state, all of it:
 *   - the six static result buffers of the path utilities (filesystem.h),
 *     written only by a host's null-buffer calls, never by the library's own;
 *   - the name counter of the temporary-name generator (utility.h), advanced
 *     atomically, so that no two calls on any threads try the same name;
 *   - the log sink (utility.h, vanto_util_set_log_cbk): the host's callback
 *     and its user data, set and read under a lock;
 *   - the log streams (std::clog and standard error), used while no sink is
 *     set: lines written from different threads at once may interleave;
 *   - the process's current directory, against which relative paths are
 *     resolved.
 */
#ifndef VANTO_EDIT_TYPES_H
#define VANTO_EDIT_TYPES_H

#include <stdint.h>
#include <stddef.h>

#include "vanto_edit/export.h"

VANTO_EXTERN_C_BEGIN

/* Opaque records. */
typedef struct vanto_session_struct vanto_session_t;
typedef struct vanto_change_struct vanto_change_t;
typedef struct vanto_model_struct vanto_model_t;
typedef struct vanto_model_segment_struct vanto_model_segment_t;
typedef struct vanto_segment_struct vanto_segment_t;
typedef struct vanto_viewport_struct vanto_viewport_t;
typedef struct vanto_search_context_struct vanto_search_context_t;
typedef struct vanto_find_skip_table_struct vanto_find_skip_table_t;
typedef struct vanto_visit_change_context_struct vanto_visit_change_context_t;

/*
 * Session event callback: called with the session, the event code (one of
 * SESSION_EVENT_*) and the event pointer (see each code).  Runs synchronously
 * on the caller's thread inside the call that caused the event.
 */
typedef void (*vanto_session_event_cbk_t)(const vanto_session_t *session, int32_t event,
                                          const void *event_ptr);

/* Viewport event callback: the viewport, a VIEWPORT_EVENT_* code, the event pointer. */
typedef void (*vanto_viewport_event_cbk_t)(const vanto_viewport_t *viewport, int32_t event,
                                           const void *event_ptr);

/* Change visitor: return 0 to go on, anything else to stop the walk. */
typedef int (*vanto_change_visitor_cbk_t)(const vanto_change_t *change, void *user_data);

/* Byte transform: returns the new value of one byte. */
typedef unsigned char (*vanto_byte_transform_t)(unsigned char byte, void *user_data);

/*
 * Progress hook of long calls (save, checkpoint creation, session transforms,
 * search, profile): called with the session, the bytes done so far and the
 * bytes in all, at least every few MiB and once at the end.  Return 0 to go
 * on, anything else to cancel the call.
 */
typedef int (*vanto_progress_cbk_t)(const vanto_session_t *session, int64_t bytes_done,
                                    int64_t bytes_total, void *user_data);

/*
 * Log sink (utility.h, vanto_util_set_log_cbk): called once per log line with
 * its level (LOG_LEVEL_*), the base name of the library's source file that
 * wrote it, the line in that file, the function the line names and the
 * message without prefix or newline.  The texts are borrowed for the call
 * only.  Runs on the thread of the library call that logs, inside it.
 */
typedef void (*vanto_log_cbk_t)(int32_t level, const char *source_file, int32_t source_line,
                                const char *function, const char *message, void *user_data);

/* Log levels, most severe first. */
#define LOG_LEVEL_ERROR 1   /* a call fails, or the process is about to abort */
#define LOG_LEVEL_WARNING 2 /* something went wrong that the call gets over */
#define LOG_LEVEL_INFO 3    /* detail printed with a failure (a model's text form) */

/* Session events (one bit each). */
#define SESSION_EVENT_CREATE 1
#define SESSION_EVENT_EDIT 2
#define SESSION_EVENT_UNDO 4
#define SESSION_EVENT_CLEAR 8
#define SESSION_EVENT_TRANSFORM 16
#define SESSION_EVENT_CREATE_CHECKPOINT 32
#define SESSION_EVENT_DESTROY_CHECKPOINT 64
#define SESSION_EVENT_SAVE 128
#define SESSION_EVENT_CHANGES_PAUSED 256
#define SESSION_EVENT_CHANGES_RESUMED 512
#define SESSION_EVENT_CREATE_VIEWPORT 1024
#define SESSION_EVENT_DESTROY_VIEWPORT 2048
#define SESSION_EVENT_ALL 0xFFF

/* Viewport events (one bit each; a code space of their own). */
#define VIEWPORT_EVENT_CREATE 1
#define VIEWPORT_EVENT_EDIT 2
#define VIEWPORT_EVENT_UNDO 4
#define VIEWPORT_EVENT_CLEAR 8
#define VIEWPORT_EVENT_TRANSFORM 16
#define VIEWPORT_EVENT_MODIFY 32
#define VIEWPORT_EVENT_CHANGES 64
#define VIEWPORT_EVENT_ALL 0x7F

/* Change kinds (bits 0-1 of a change's kind byte). */
#define CHANGE_DELETE 0
#define CHANGE_INSERT 1
#define CHANGE_OVERWRITE 2

/* Session flag bits. */
#define SESSION_FLAG_VIEWPORT_CALLBACKS_PAUSED 1
#define SESSION_FLAG_CHANGES_PAUSED 2
#define SESSION_FLAG_TRANSACTION_OPEN 4
#define SESSION_FLAG_TRANSACTION_HAS_CHANGE 8

/*
 * Save flags.  SAVE_FLAG_REFUSE_IF_CHANGED may be combined with either mode;
 * the mode is decided by the other bits: any of them set replaces an
 * existing target (flags & ~SAVE_FLAG_REFUSE_IF_CHANGED nonzero), none set
 * saves under a free name.
 */
#define SAVE_FLAG_NONE 0
#define SAVE_FLAG_OVERWRITE 1
#define SAVE_FLAG_REFUSE_IF_CHANGED 2 /* refuse when a file the data is read from changed in place */

/*
 * What vanto_session_get_backing_file_changes finds about the session's own
 * file since the session last recorded it (one bit each).
 */
#define FILE_CHANGE_NONE 0
#define FILE_CHANGE_SIZE 1     /* size differs from the recorded one */
#define FILE_CHANGE_MTIME 2    /* modification time differs */
#define FILE_CHANGE_REPLACED 4 /* the name now leads to another file (device/inode differ) */
#define FILE_CHANGE_REMOVED 8  /* the name leads to no file */

/*
 * Results of vanto_edit_save; edit.h says what each one leaves behind.
 * -4 and -7 are not used.
 */
#define SAVE_OK 0
#define SAVE_ERROR_INVALID (-1)       /* bad argument, directory, or called from an event */
#define SAVE_ERROR_NAME_TOO_LONG (-2) /* the temporary name does not fit */
#define SAVE_ERROR_CREATE (-3)        /* the temporary file cannot be created */
#define SAVE_ERROR_READ (-5)          /* the session's data cannot be read */
#define SAVE_ERROR_WRITE (-6)         /* the data cannot be written, synced or closed */
#define SAVE_ERROR_NO_FREE_NAME (-8)  /* no free name beside an existing target */
#define SAVE_ERROR_PLACE (-9)         /* a checkpoint file as target, or the rename failed */
#define SAVE_ERROR_REBASE (-10)       /* saved, but the session could not re-base on it */
#define SAVE_ERROR_CANCELLED (-11)    /* the progress hook cancelled */
#define SAVE_ERROR_NOT_REGULAR (-12)  /* the target is a device, a pipe or a socket */
#define SAVE_ERROR_FILE_CHANGED (-13) /* SAVE_FLAG_REFUSE_IF_CHANGED: a file read from changed */

/* Replace-all flags. */
#define REPLACE_FLAG_NONE 0
#define REPLACE_FLAG_IGNORE_CASE 1

/* Mask kinds of vanto_util_mask_byte. */
#define MASK_AND 0
#define MASK_OR 1
#define MASK_XOR 2

/* Largest viewport capacity and search window, in bytes. */
#define VANTO_VIEWPORT_CAPACITY_LIMIT 1048576
#define VANTO_SEARCH_PATTERN_LIMIT 524288

/* Size of the path buffers the path utilities write into (259 chars + zero). */
#define VANTO_PATH_BUFFER_SIZE 260

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_TYPES_H */
