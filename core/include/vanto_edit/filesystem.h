/*
 * vanto_edit/filesystem.h — path and file utilities.
 *
 * A small vocabulary for file names and the file system: split a path into
 * its parent directory, file name, stem and extension; read the current
 * directory; resolve a path to its canonical absolute form; tell whether two
 * paths name the same file; test, create, remove, measure and touch files
 * and directories; derive a free file name from a taken one.  The library
 * uses these itself when it saves, checkpoints and transforms, and hosts may
 * call them directly.
 *
 * Paths are zero-terminated narrow strings in the platform's file-name
 * encoding, read with the path grammar of the C++ standard library: the slash
 * separates everywhere, and on Windows the backslash separates too and a
 * drive or network share forms the root name.
 *
 * Path results.  Six functions produce a path text (get_current_dir,
 * dirname, basename, file_extension, normalize_path, available_filename).
 * Each takes a result buffer of VANTO_PATH_BUFFER_SIZE (260) bytes:
 *   - with a caller's buffer, the text is written there and the caller's
 *     pointer is returned; the caller owns the buffer;
 *   - with a null buffer, the text goes into a static buffer of the library,
 *     one per function (six in all), and that buffer's address is returned.
 *     The text stays there until the next null-buffer call of the same
 *     function; it is never freed and must not be freed by the host.
 * A text longer than 259 bytes is cut to its first 259 bytes and followed by
 * a zero byte (vanto_util_available_filename refuses such a name instead,
 * see there).
 *
 * Process-wide state: the six static result buffers above are the only
 * state these functions keep.  The library's own calls never write them; a
 * host that passes a null buffer does, so such calls of one function must not
 * overlap in time on different threads, and a static result must be copied
 * before the next null-buffer call of the same function.
 *
 * Threading: nothing here takes locks.  With a caller's buffer every function
 * may run on any thread at once, as far as the file system allows.
 *
 * Errors raised, not returned.  These functions are built on the C++
 * standard library's file-system facility and let its errors through: a
 * failure of the file-system service leaves the call as a
 * std::filesystem::filesystem_error (or, for a path that cannot be converted
 * between the narrow and the native encoding, a std::system_error).  A C++
 * host can catch them; a C host cannot, and an error reaching C code ends the
 * process, so a C host must not pass the paths listed as raising under each
 * function.  The existence tests give 0 for a path that does not exist
 * (missing file, missing directory on the way) without raising.
 *
 * Null path arguments are refused: queries give 0 or null, actions give -1.
 */
#ifndef VANTO_EDIT_FILESYSTEM_H
#define VANTO_EDIT_FILESYSTEM_H

#include <stdint.h>

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Writes the process's current working directory.
 * buffer: 260-byte result buffer, or null for the function's static buffer.
 * Returns the buffer used.  Raises when the current directory cannot be read
 * (for example when it has been removed).
 */
VANTO_EXPORT char *vanto_util_get_current_dir(char *buffer);

/*
 * Writes the parent path of a path: the path without its file name and the
 * separators before it, never eating into the root ("a/b/c.txt" -> "a/b",
 * "a/b/" -> "a/b", "c.txt" -> "", "/c.txt" -> "/", "/" -> "/").  Pure text
 * work; the file system is not consulted.
 * buffer: 260-byte result buffer, or null for the function's static buffer.
 * Returns the buffer used (its first byte is 0 for an empty parent), or null
 * for a null path.
 */
VANTO_EXPORT char *vanto_util_dirname(const char *path, char *buffer);

/*
 * Writes the file name of a path (the text after its last separator, empty
 * when the path ends in a separator), or with a non-zero drop_suffix its stem
 * (the file name without its extension: "archive.tar.gz" -> "archive.tar",
 * ".profile" -> ".profile").  Pure text work.
 * buffer: 260-byte result buffer, or null for the function's static buffer.
 * Returns the buffer used, or null for a null path.
 */
VANTO_EXPORT char *vanto_util_basename(const char *path, char *buffer, int drop_suffix);

/*
 * Writes the extension of a path's file name, from its last dot to its end
 * ("a.tar.gz" -> ".gz", "name." -> "."), or the empty text when the file name
 * has no dot, when its only dot is its first character (".profile") and for
 * the names "." and "..".  Pure text work.
 * buffer: 260-byte result buffer, or null for the function's static buffer.
 * Returns the buffer used, or null for a null path.
 */
VANTO_EXPORT char *vanto_util_file_extension(const char *path, char *buffer);

/*
 * Writes the canonical absolute form of an existing path: symbolic links and
 * the "." and ".." elements resolved.
 * buffer: 260-byte result buffer, or null for the function's static buffer.
 * Returns the buffer used, or null for a null path or a canonical form longer
 * than 259 characters (the buffer then holds an empty text: a shortened name
 * could name another file).  Raises when the path does not exist or cannot
 * be resolved.
 */
VANTO_EXPORT char *vanto_util_normalize_path(const char *path, char *buffer);

/*
 * Finds a name that no regular file has.  When no regular file is at the
 * path (nothing there, or a directory), the path itself is the answer.
 * Otherwise the candidates "<dir>/<stem>-N<extension>" for N = 1 to 999 are
 * tried in order and the first that is not a regular file is the answer
 * ("report.txt" -> "report-1.txt", "archive.tar.gz" -> "archive.tar-1.gz",
 * ".profile" -> ".profile-1"; a path without a directory part gives
 * candidates without one).
 * buffer: 260-byte result buffer, or null for the function's static buffer.
 * Returns the buffer used, holding the answer; null when all 999 candidates
 * are taken, when the answer (the free path itself or a candidate) would not
 * fit in the 260-byte buffer (a cut name is never tested or returned), or for
 * a null path.  Only the result buffer is written: the static buffers of the
 * other path functions are left alone.  Raises when the existence test of the
 * path or of a candidate meets a file-system error (for example a file name
 * component longer than the file system allows).
 */
VANTO_EXPORT char *vanto_util_available_filename(const char *path, char *buffer);

/*
 * Returns 1 when the path names an existing regular file (following
 * symbolic links), else 0; 0 for a null path.  Raises on file-system errors
 * other than "does not exist" (for example a name that is too long, or a
 * directory on the way that cannot be searched).
 */
VANTO_EXPORT int vanto_util_file_exists(const char *path);

/*
 * Returns 1 when the path names an existing directory (following symbolic
 * links), else 0; 0 for a null path.  Raises like vanto_util_file_exists.
 */
VANTO_EXPORT int vanto_util_directory_exists(const char *path);

/*
 * Returns 1 when both paths name the same existing file (same file-system
 * identity), else 0; 0 when only one of them exists, and 0 for a null path.
 * Raises when neither path exists, and on other file-system errors.
 */
VANTO_EXPORT int vanto_util_paths_equivalent(const char *first, const char *second);

/*
 * Creates a directory and every missing ancestor.
 * Returns 0 when the directory was created by this call, 1 when it already
 * existed (nothing created), -1 for a null path.  Raises for an empty path
 * and when something that is not a directory stands where a directory must
 * be made, or the file system refuses to create it.
 */
VANTO_EXPORT int vanto_util_create_directory(const char *path);

/*
 * Removes a file, or a directory that is empty (does not follow a symbolic
 * link: the link itself is removed).
 * Returns 0 when something was removed, 1 when nothing existed at the path,
 * -1 for a null path.  Raises for a non-empty directory and when the file
 * system refuses the removal.
 */
VANTO_EXPORT int vanto_util_remove_file(const char *path);

/* The same operation and results as vanto_util_remove_file. */
VANTO_EXPORT int vanto_util_remove_directory(const char *path);

/*
 * Returns the size in bytes of the regular file at the path (following
 * symbolic links); 0 for a null path.  Raises when the file does not exist or
 * is not a regular file.
 */
VANTO_EXPORT int64_t vanto_util_file_size(const char *path);

/*
 * Sets the access and modification times of a file to now, without reading
 * or changing its contents.  With a non-zero create flag a missing file is
 * created empty with permission bits 0644 (less the process's umask); with a
 * zero flag a missing file is left missing and counts as success.
 * Returns 0 on success, -1 on failure (a failure is also reported on standard
 * error as perror does, prefixed "vanto_util_touch", or to the log sink of
 * vanto_util_set_log_cbk when one is set) and -1 for a null path.
 * The file is opened for reading and writing, so a file the process may not
 * write fails.  Raises nothing.
 */
VANTO_EXPORT int vanto_util_touch(const char *path, int create);

/*
 * Returns the separator the library puts between a directory and a file name
 * when it builds a path by formatting: '/' on POSIX systems, '\\' on Windows.
 */
VANTO_EXPORT char vanto_util_directory_separator(void);

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_FILESYSTEM_H */
