/*
 * vanto_edit.h — the whole public API of the vanto-edit library.
 *
 * vanto-edit edits byte sequences of any size (typically files of many
 * gigabytes) without loading them into memory.  A host opens a session on a
 * file, records deletes, inserts and overwrites, reads any range back through
 * segments and viewports, searches, profiles, undoes and redoes, freezes state
 * in checkpoints, transforms ranges byte by byte and saves atomically.
 *
 * Each family has a header of its own; this one includes them all.  The
 * internal entry points (vanto_edit/internal.h: unprefixed building blocks
 * exported for diagnostic hosts and tests, some with C++ signatures) come
 * only to a host that asks for them: define VANTO_EDIT_INTERNAL before
 * including this header, or include vanto_edit/internal.h itself.
 */
#ifndef VANTO_EDIT_H
#define VANTO_EDIT_H

#include "vanto_edit/export.h"
#include "vanto_edit/types.h"
#include "vanto_edit/version.h"
#include "vanto_edit/license.h"
#include "vanto_edit/change.h"
#include "vanto_edit/segment.h"
#include "vanto_edit/session.h"
#include "vanto_edit/edit.h"
#include "vanto_edit/viewport.h"
#include "vanto_edit/search.h"
#include "vanto_edit/find.h"
#include "vanto_edit/visit.h"
#include "vanto_edit/check.h"
#include "vanto_edit/utility.h"
#include "vanto_edit/encode.h"
#include "vanto_edit/filesystem.h"
#ifdef VANTO_EDIT_INTERNAL
#include "vanto_edit/internal.h"
#endif

#endif /* VANTO_EDIT_H */
