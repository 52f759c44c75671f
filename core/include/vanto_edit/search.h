/*
 * vanto_edit/search.h — pattern search over a session's edited data.
 *
 * A search context finds the occurrences of one byte pattern (1 to
 * VANTO_SEARCH_PATTERN_LIMIT - 1 bytes) inside a fixed range of a session's
 * data, one match per call of vanto_search_next_match (forward) or
 * vanto_search_prev_match (backward), or counts them all in one call
 * (vanto_search_count_matches).  A pattern may carry a mask, one byte per
 * pattern byte, that says which bits of each byte must match
 * (vanto_search_create_context_masked).  Every call reads the
 * data as it is at that moment, changes included, so edits made between
 * calls are seen; the range's start and length stay as they were fixed at
 * creation.  The data is read in windows of at most 1 MiB that overlap by
 * the pattern's length minus one, so an occurrence that straddles two
 * windows is still found; backward, the windows are read from the end of
 * the range towards its start with the same overlap.  Matching is exact, or case-insensitive by folding
 * the pattern and each window (never the session's data) to lower case as
 * tolower does in the C locale: only 'A' to 'Z' change, whatever locale the
 * host has set.
 *
 * Typical use: create a context, call vanto_search_next_match while it
 * returns 1 and read vanto_search_context_get_offset after each success,
 * then destroy the context (or leave it to the session's destruction).
 *
 * Ownership: a context belongs to its session, which destroys any that are
 * left when it is destroyed itself; the host holds a plain handle that is
 * valid until vanto_search_destroy_context or the session's destruction.
 * The pattern given at creation is copied; the caller's buffer may go at
 * once.
 *
 * Threading: a context is used on the thread that uses its session, one call
 * at a time.
 *
 * Null handles: creation returns null for a null session or pattern; the
 * queries, vanto_search_next_match and vanto_search_prev_match return 0 and
 * vanto_search_count_matches -1 for a null context;
 * vanto_search_destroy_context ignores null.
 */
#ifndef VANTO_EDIT_SEARCH_H
#define VANTO_EDIT_SEARCH_H

#include <stdint.h>

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Creates a search context for `pattern` over the range of `session_length`
 * bytes starting at `session_offset` in the session's data.
 * pattern_length: the pattern's size in bytes; 0 means the pattern is a
 *   zero-terminated text whose length is measured.
 * session_length: 0 means from session_offset to the end of the data as it
 *   is now (the range is not extended by later inserts).
 * case_insensitive: non-zero folds 'A' to 'Z' to 'a' to 'z' (the C locale's
 *   lower case; no other byte changes) in the pattern and in the data
 *   searched.
 * The offset is not checked against the data: a range may start before 0 or
 * reach past the end, and the part of it inside the data is searched (parts
 * outside hold nothing to find; a match lies whole inside both).
 * Returns the new context, owned by the session (see above), with no current
 * match.  Returns null, creating nothing, when the session or pattern is
 * null, the pattern is empty or its length negative, the pattern has
 * VANTO_SEARCH_PATTERN_LIMIT (524,288) bytes or more or is longer than the
 * range, the range's length is negative or its end does not fit in 64 bits,
 * or memory runs out.
 */
VANTO_EXPORT vanto_search_context_t *vanto_search_create_context_bytes(
    vanto_session_t *session, const unsigned char *pattern, int64_t pattern_length,
    int64_t session_offset, int64_t session_length, int case_insensitive);

/*
 * Like vanto_search_create_context_bytes, with a mask byte per pattern byte:
 * data byte d matches pattern byte p under mask m when (d & m) == (p & m).
 * A mask byte of 0x00 is a wildcard (any byte matches), 0xF0 matches the
 * high nibble only, 0xFF the whole byte.
 * mask: pattern_length bytes, copied like the pattern; null means every
 *   byte is fixed (all 0xFF), which is also how a mask of only 0xFF bytes
 *   behaves: the context is then exactly a vanto_search_create_context_bytes
 *   one.  A mask of only 0x00 bytes is allowed: every start in the range
 *   (with the whole match inside the data) matches.
 * pattern_length: the pattern's (and the mask's) size, 1 or more; a pattern
 *   is never measured as text here, so 0 is refused.
 * case_insensitive: non-zero folds 'A' to 'Z' as for the other contexts,
 *   first, then applies the mask: a byte d matches when
 *   (lower(d) & m) == (lower(p) & m).
 * vanto_search_context_get_length gives pattern_length, the length of every
 * match.  Returns the new context, owned by the session, with no current
 * match; null, creating nothing, when the session or pattern is null,
 * pattern_length is 0 or less, and for every reason that
 * vanto_search_create_context_bytes refuses a range or a length.
 */
VANTO_EXPORT vanto_search_context_t *vanto_search_create_context_masked(
    vanto_session_t *session, const unsigned char *pattern, const unsigned char *mask,
    int64_t pattern_length, int64_t session_offset, int64_t session_length, int case_insensitive);

/* As vanto_search_create_context_bytes, with the pattern given as characters. */
VANTO_EXPORT vanto_search_context_t *vanto_search_create_context(
    vanto_session_t *session, const char *pattern, int64_t pattern_length, int64_t session_offset,
    int64_t session_length, int case_insensitive);

/*
 * Finds the next occurrence of the pattern in the context's range.
 * The first call, and any call after one that found nothing, searches from
 * the start of the range and ignores `advance`.  After a match at offset M
 * the search resumes at M + advance: an advance of 1 finds occurrences that
 * overlap the previous one, an advance equal to the pattern length only
 * those that do not.  Matches always lie whole inside the range.
 * Returns 1 when an occurrence was found (vanto_search_context_get_offset
 * then gives its offset in the session's data); 0 when none is left, after
 * which the context has no current match and a further call starts again at
 * the beginning of the range.  Returns 0 without changing anything for a
 * null context or an advance below 1.  A part of the range that cannot be
 * read (it lies beyond the data, or the backing file fails) counts as holding
 * no occurrence; no error is reported.  Memory: one window of at most 1 MiB,
 * released before the call returns.
 * With a progress hook set (vanto_session_set_progress_cbk), the call reports
 * the bytes of its part of the range searched, at least every few MiB and
 * once when it ends; a cancel makes it return 0 with no current match.  A
 * hook that destroys the context ends the call: it returns 0 and touches the
 * destroyed context no more.
 */
VANTO_EXPORT int vanto_search_next_match(vanto_search_context_t *context, int64_t advance);

/*
 * Finds the previous occurrence of the pattern in the context's range, the
 * mirror of vanto_search_next_match.  The first call, and any call after
 * one that found nothing, finds the last occurrence in the range and ignores
 * `advance`.  After a match at offset M (found by either call: the two share
 * the current match, so a host may go back and forth) it finds the last
 * occurrence at an offset of M - advance or less.  Matches always lie whole
 * inside the range, and inside the data as it is at the call.
 * Returns 1 when an occurrence was found (vanto_search_context_get_offset
 * gives its offset); 0 when none is left, after which the context has no
 * current match.  Returns 0 without changing anything for a null context or
 * an advance below 1.  Unreadable parts, memory, progress, cancel and a hook
 * that destroys the context: as for vanto_search_next_match.
 */
VANTO_EXPORT int vanto_search_prev_match(vanto_search_context_t *context, int64_t advance);

/*
 * Counts the occurrences of the pattern in the context's whole range, in
 * one forward pass: after each one at offset M the count resumes at
 * M + advance (1 counts overlapping occurrences, the pattern length only
 * those that do not overlap), as a loop over vanto_search_next_match would
 * from the start of the range.  The context's current match is left as it
 * was.
 * Returns the count (0 or more); -1 for a null context or an advance below
 * 1; -2 when the progress hook cancelled (or destroyed the context), with no
 * count.  Progress is reported as by vanto_search_next_match, over the
 * range; memory is one window of at most 1 MiB.
 */
VANTO_EXPORT int64_t vanto_search_count_matches(vanto_search_context_t *context, int64_t advance);

/*
 * Offset of the current match in the session's data; while there is none
 * (after creation, or after a call that found nothing) the end of the range,
 * its start plus its length.  0 for a null context.
 */
VANTO_EXPORT int64_t vanto_search_context_get_offset(const vanto_search_context_t *context);

/* Length of the pattern, which is also the length of every match.  0 for a null context. */
VANTO_EXPORT int64_t vanto_search_context_get_length(const vanto_search_context_t *context);

/*
 * Destroys a search context and removes it from its session; the session's
 * other contexts keep their order.  Null is ignored.  Sends no event.  The
 * handle is invalid afterwards and must not be destroyed again.
 */
VANTO_EXPORT void vanto_search_destroy_context(vanto_search_context_t *context);

VANTO_EXTERN_C_END

#ifdef __cplusplus
#include <string_view>
/*
 * As vanto_search_create_context_bytes with the view's bytes and size; the
 * view is never measured as text, so an empty view is refused (null).
 */
VANTO_EXPORT vanto_search_context_t *vanto_search_create_context_string(
    vanto_session_t *session, std::string_view pattern, int64_t session_offset,
    int64_t session_length, int case_insensitive);
#endif

#endif /* VANTO_EDIT_SEARCH_H */
