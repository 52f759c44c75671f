/*
 * vanto_edit/utility.h — small file, buffer and text utilities.
 *
 * Files: create a file under a unique name from a template, copy a byte
 * range from one open stream to another, and rewrite a range of a file
 * through a byte transform into a new file.  Buffers: apply a byte transform
 * or a mask in memory, shift a buffer by a few bits, and compare byte runs
 * with or without case folding.
 *
 * Ownership: every buffer, stream and descriptor is the caller's; nothing
 * here allocates memory that the caller must free.  The descriptor returned
 * by vanto_util_mkstemp belongs to the caller, who closes it.
 *
 * Threading: the functions take no locks but the log sink's.
 * vanto_util_mkstemp keeps one process-wide name counter, advanced
 * atomically, so it may be called from several threads at once.  Every other
 * function works only on its arguments and may run on any thread at once,
 * provided two calls do not work on the same buffer or stream at the same
 * time.
 *
 * Logging: vanto_util_apply_byte_transform_to_file and vanto_util_mask_byte
 * report problems as lines "<source>@<line>::<function>: <message>" on
 * standard error, or to the log sink when one is set (see
 * vanto_util_set_log_cbk).
 */
#ifndef VANTO_EDIT_UTILITY_H
#define VANTO_EDIT_UTILITY_H

#include <stdint.h>
#include <stdio.h>

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Creates and opens a new file whose name is the template with its last six
 * characters, which must be "XXXXXX", replaced by letters and digits.  The
 * file is created exclusively (an existing file is never opened), for reading
 * and writing, with permission bits 0600, and its descriptor is closed on
 * exec.  Names that are taken are skipped; two calls, on the same thread or
 * on different threads, never try the same name.
 * template_name: changed in place; on success it holds the new file's name.
 * Returns the open descriptor (owned by the caller) with errno unchanged, or
 * -1 with errno set: EINVAL when the template is null, shorter than six
 * characters or does not end in six 'X' (the template is then unchanged);
 * the error of the failed create otherwise (for example ENOENT for a missing
 * directory; the template then holds the last name tried); EEXIST when
 * INT_MAX names in a row were taken.
 */
VANTO_EXPORT int vanto_util_mkstemp(char *template_name);

/*
 * Copies length bytes of source, starting at offset (64-bit positions), to
 * destination's current position, through an 8192-byte buffer.
 * Returns the number of bytes copied, which is less than length when the
 * source runs short or the destination refuses a write (only whole 8192-byte
 * chunks count then); -1 when the source cannot be positioned at offset,
 * when length is negative, or when a stream is null.  Writes no log line.
 */
VANTO_EXPORT int64_t vanto_util_write_segment_to_file(FILE *source, int64_t offset,
                                                      int64_t length, FILE *destination);

/*
 * Writes a copy of the input file to the output path with the bytes of the
 * range [offset, offset + length) replaced, in order, by transform(byte,
 * user_data); the bytes around the range are copied unchanged, so the output
 * has the input's size.  A length of 0 means up to the end of the input.
 * The data moves in blocks of 1 MiB; positions are 64-bit.  An
 * existing output file is replaced.
 * Returns 0 when the whole output has been written and closed.  Returns -1,
 * after logging the reason and then "transform failed", when a path or the
 * transform is null, the input cannot be opened or measured, the output names
 * the input file itself, the range does not lie inside the input (negative
 * offset, length below 0, offset at or past the end, or a range past the
 * end), the output cannot be created, or a read, write or the final close of
 * the output fails.  After a failure no output file is left behind (the input
 * is never touched).
 */
VANTO_EXPORT int vanto_util_apply_byte_transform_to_file(const char *input_path,
                                                         const char *output_path,
                                                         vanto_byte_transform_t transform,
                                                         void *user_data, int64_t offset,
                                                         int64_t length);

/*
 * Replaces each of the length bytes of buffer, first to last, by
 * transform(byte, user_data).  Does nothing when length is 0 or negative, or
 * when buffer or transform is null.
 */
VANTO_EXPORT void vanto_util_apply_byte_transform(unsigned char *buffer, int64_t length,
                                                  vanto_byte_transform_t transform,
                                                  void *user_data);

/*
 * Combines a byte with a mask: MASK_AND gives byte & mask, MASK_OR
 * byte | mask, MASK_XOR byte ^ mask.  Any other kind logs
 * "unhandled mask kind" and returns the byte unchanged.
 */
VANTO_EXPORT unsigned char vanto_util_mask_byte(unsigned char byte, unsigned char mask,
                                                int32_t mask_kind);

/*
 * A byte transform (vanto_byte_transform_t) that looks the byte up in the
 * 256-byte table given as its user data and returns table[byte].  Passed with
 * a table to any call that takes a byte transform (a session transform, the
 * buffer and file transforms), it translates bytes without a host function
 * called per byte.  The table is borrowed and must stay valid for that call;
 * a null table leaves every byte as it is.
 */
VANTO_EXPORT unsigned char vanto_util_translate_byte(unsigned char byte, void *table);

/*
 * Shifts the buffer, read as one big-endian number (byte 0 most
 * significant), left by shift bits in place: the top bits of byte 0 are lost
 * and zero bits enter at the bottom of the last byte.
 * Returns 0 (also for a length of 0 or below, which changes nothing, and for
 * a null buffer), or -1 with the buffer unchanged when shift is not 1 to 7.
 */
VANTO_EXPORT int vanto_util_left_shift_buffer(unsigned char *buffer, int64_t length,
                                              uint8_t shift);

/*
 * Shifts the buffer, read as one little-endian number (byte 0 least
 * significant), right by shift bits in place: the low bits of byte 0 are
 * lost and zero bits enter at the top of the last byte.  Note that the bits
 * crossing a byte boundary come from the following byte in both shifts, so
 * this does not undo vanto_util_left_shift_buffer.
 * Returns 0 (also for a length of 0 or below and for a null buffer), or -1
 * with the buffer unchanged when shift is not 1 to 7.
 */
VANTO_EXPORT int vanto_util_right_shift_buffer(unsigned char *buffer, int64_t length,
                                               uint8_t shift);

/*
 * Compares exactly count bytes of two runs; a zero byte does not end the
 * comparison, so both runs must hold count readable bytes.  Bytes are taken
 * as signed 8-bit values (0x80 to 0xFF are negative).
 * Returns 0 when the runs are equal (or count is 0), else first[i] -
 * second[i] at the first difference.  A null run gives 0.
 */
VANTO_EXPORT int vanto_util_strncmp(const char *first, const char *second, uint64_t count);

/*
 * Like vanto_util_strncmp, but each byte from 0x00 to 0x7F is first passed
 * through the C library's tolower (in the default locale only 'A' to 'Z'
 * change); bytes from 0x80 up are compared unfolded.
 */
VANTO_EXPORT int vanto_util_strnicmp(const char *first, const char *second, uint64_t count);

/*
 * Sets the process-wide log sink: from now on every log line of the library
 * goes to cbk(level, source_file, source_line, function, message, user_data)
 * instead of the standard streams, once per line, with the message whole and
 * without the "<source>@<line>::<function>: " prefix or the newline.  That
 * covers the stream form (std::clog: sessions, edits, save, checkpoints,
 * transforms), the standard-error form (the utilities above), the error lines
 * of vanto_util_touch (the function is the line's prefix, "vanto_util_touch"
 * or "vanto_util_utime_", the message the system's error text) and the text
 * form of a model printed with a failure (one call per piece, at
 * LOG_LEVEL_INFO).  A null cbk restores the default, the standard streams in
 * the forms above, byte for byte; user_data is then dropped.  No sink is set
 * when the library is loaded.
 *
 * The sink is called on the thread of the library call that logs, inside
 * that call, with no lock held: it may call the library, log through it or
 * set another sink.  It must not throw.  The texts it is given are valid only
 * during the call.  Setting the sink may be done from any thread at any time;
 * a line being delivered on another thread while the sink changes reaches
 * either the old or the new one.  Set it before sessions run to be sure
 * every line reaches it.  Setting the same sink twice does nothing more than
 * setting it once.
 */
VANTO_EXPORT void vanto_util_set_log_cbk(vanto_log_cbk_t cbk, void *user_data);

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_UTILITY_H */
