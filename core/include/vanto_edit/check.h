/*
 * vanto_edit/check.h — checking a session's models.
 *
 * Every model of a session (one per checkpoint level) is a sequence of
 * pieces that must be contiguous from offset 0, each showing only bytes its
 * source has.  vanto_check_model verifies both over every model; on failure
 * it writes the current model in the library's text form to the standard log
 * stream.  It changes nothing.
 *
 * Threading: as for the session it checks.
 */
#ifndef VANTO_EDIT_CHECK_H
#define VANTO_EDIT_CHECK_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * 0 when every model of the session is contiguous and every piece lies inside
 * its source; -1 otherwise (the current model is then printed), and -1 for a
 * null session.
 */
VANTO_EXPORT int vanto_check_model(const vanto_session_t *session);

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_CHECK_H */
