/*
 * vanto_edit/visit.h — walking the changes of a session.
 *
 * Two ways to walk the active changes of a session's current checkpoint
 * level (the changes made since the last checkpoint and not undone), in the
 * order they were applied:
 *   - a callback visitor, vanto_visit_changes (oldest first) or
 *     vanto_visit_changes_reverse (newest first), which calls a function for
 *     each change and stops early when it returns non-zero;
 *   - a visitor context, a cursor the host moves itself:
 *       ctx = vanto_visit_change_create_context(session, reverse);
 *       vanto_visit_change_begin(ctx);
 *       while (!vanto_visit_change_at_end(ctx)) {
 *         use(vanto_visit_change_context_get_change(ctx));
 *         vanto_visit_change_next(ctx);
 *       }
 *       vanto_visit_change_destroy_context(ctx);
 * Undone changes and changes made before the last checkpoint are not
 * visited.  Walking reads the change list only; nothing is copied or changed.
 *
 * Ownership: a visitor context belongs to the host from create to destroy
 * (it is not destroyed with its session, but must not be used once the
 * session is gone).  Changes handed out are borrowed (see change.h).
 *
 * Validity: a context's position refers to the session's change list as it
 * was at begin.  Any edit, undo, redo, clear, transform or checkpoint makes
 * it stale: begin again before using it.  A stale context never reads
 * outside the list: where its position no longer names a change it reports
 * that it is at its end.  A visitor callback must not change the session's
 * changes; if it does, the walk still stays inside the list.
 *
 * Threading: as for the session walked (one thread at a time).
 *
 * Null handles: the callback visitors return -1 for a null session or
 * callback; create returns null for a null session; begin returns -1 for a
 * null context; next and at end return 1 (a null context has no current
 * change); get change returns null; destroy ignores null.
 */
#ifndef VANTO_EDIT_VISIT_H
#define VANTO_EDIT_VISIT_H

#include "vanto_edit/types.h"

VANTO_EXTERN_C_BEGIN

/*
 * Calls `visitor(change, user_data)` for each active change of the current
 * level, oldest first.  Returns 0 when every change was visited (at once when
 * there is none), else the first non-zero value the visitor returned, which
 * stops the walk.  -1 for a null session or a null visitor (nothing called).
 */
VANTO_EXPORT int vanto_visit_changes(const vanto_session_t *session,
                                     vanto_change_visitor_cbk_t visitor, void *user_data);

/* As vanto_visit_changes, newest change first. */
VANTO_EXPORT int vanto_visit_changes_reverse(const vanto_session_t *session,
                                             vanto_change_visitor_cbk_t visitor, void *user_data);

/*
 * Creates a visitor context over the session's changes, walking newest first
 * when `reverse` is non-zero, oldest first otherwise.  The new context is at
 * its end until vanto_visit_change_begin.  The host owns it until
 * vanto_visit_change_destroy_context.  Null for a null session.
 */
VANTO_EXPORT vanto_visit_change_context_t *vanto_visit_change_create_context(
    const vanto_session_t *session, int reverse);

/*
 * Puts the context on its first change (the oldest, or the newest when
 * reversed).  With no changes the context is at its end.  Returns 0; -1 for
 * a null context.
 */
VANTO_EXPORT int vanto_visit_change_begin(vanto_visit_change_context_t *context);

/*
 * Moves to the next change (the next newer one, or the next older one when
 * reversed).  Returns 1 when the walk has now ended (and keeps returning 1
 * at the end, also with no changes at all), 0 when there is a current change
 * again.  1 for a null context.
 */
VANTO_EXPORT int vanto_visit_change_next(vanto_visit_change_context_t *context);

/*
 * 1 when the context has no current change (a new context, a walk that has
 * ended, a stale position), 0 otherwise.  1 for a null context.
 */
VANTO_EXPORT int vanto_visit_change_at_end(const vanto_visit_change_context_t *context);

/*
 * The context's current change, or null when it has none (or the context is
 * null).  Borrowed: valid as long as the change stays in the session's lists
 * (see change.h).
 */
VANTO_EXPORT const vanto_change_t *vanto_visit_change_context_get_change(
    const vanto_visit_change_context_t *context);

/* Destroys a visitor context.  Null is ignored. */
VANTO_EXPORT void vanto_visit_change_destroy_context(vanto_visit_change_context_t *context);

VANTO_EXTERN_C_END

#endif /* VANTO_EDIT_VISIT_H */
