/*
 * vanto_edit/internal.h — internal entry points that the library exports.
 *
 * These functions are the building blocks the public calls are made of.  They
 * are exported for diagnostic hosts and tests; ordinary hosts use the public
 * families instead.  Null handles are refused as documented per function.
 * The umbrella header vanto_edit.h includes this one only when
 * VANTO_EDIT_INTERNAL is defined before it; a host that wants these names
 * includes this header itself.
 * Threading: as for the session they work on (one thread at a time).
 */
#ifndef VANTO_EDIT_INTERNAL_H
#define VANTO_EDIT_INTERNAL_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Fills `segment` from the session's current data, starting at the segment's
 * offset plus its offset adjustment, with up to its capacity bytes, and
 * writes a zero byte after them.  Returns 0 on success (also for a session
 * without data, where the data area is left untouched and the length is 0);
 * -1 when the start lies outside the data (negative or beyond the end) or
 * the backing file cannot be read (it became shorter, or a read failed), and
 * -1 for a null session or segment.  The segment's length counts the bytes
 * filled.
 */
VANTO_EXPORT int populate_data_segment_(const vanto_session_t *session, vanto_segment_t *segment);

/*
 * The transaction bit of the last change in the current model's change list,
 * or 1 when that list is empty (or the session is null).
 */
VANTO_EXPORT int vanto_session_get_transaction_bit_(const vanto_session_t *session);

/*
 * Decides the transaction bit of the next change from the session's
 * transaction state (and marks an open transaction as holding a change).
 * Returns the bit (0 or 1); 0 for a null session.
 */
VANTO_EXPORT int determine_change_transaction_bit_(vanto_session_t *session);

VANTO_EXTERN_C_END

#ifdef __cplusplus
#include <memory>
#include <ostream>

/*
 * Writes one line per piece of `model` to `out`, in the library's text form:
 * {"kind": "R"|"I", "computed_offset": …, "computed_length": …,
 *  "change_offset": …, "change": <change>}.  A null model writes nothing.
 */
VANTO_EXPORT void print_model_segments_(const vanto_model_t *model, std::ostream &out);

/*
 * Writes one change in the text form {"serial": …, "kind": "D"|"I"|"O",
 * "offset": …, "length": …[, "bytes": "…"]}, without an end of line, and
 * returns the stream.  A null change writes nothing.
 */
VANTO_EXPORT std::ostream &print_change_record_(const vanto_change_t *change, std::ostream &out);

/*
 * Applies one change to a model's pieces: splits, trims, removes and inserts
 * pieces, and records in the change what it replaced (for undo).  Returns 0,
 * or -1 when no piece covers the change's offset (or a handle is null).  A
 * model that has lost its continuity is printed and the process is aborted.
 * The pieces refer to the change by plain pointer: the caller keeps the
 * change alive as long as the model shows it.
 */
VANTO_EXPORT int update_model_helper_(vanto_model_t *model, vanto_change_t *change);
#endif

#endif /* VANTO_EDIT_INTERNAL_H */
