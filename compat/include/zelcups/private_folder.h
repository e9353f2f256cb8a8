/* The folder for a program's private files: the PPD copy, the snapshot, the lock. */
#ifndef COMPAT_ZELCUPS_PRIVATE_FOLDER_H
#define COMPAT_ZELCUPS_PRIVATE_FOLDER_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

/* A folder that is this user's own and closed to everyone else, or null when there is
   none. The session's runtime folder when it is so; otherwise a folder of the process's
   own, made on first use under a temporary folder ($TMPDIR, else /tmp) that neither it
   nor any folder above it can be renamed in by others, and
   removed with what it holds when the process exits. The string lives as long as the
   process. */
CF_EXPORT const char *PrivateFolder_Path(void);

/* True when PrivateFolder_Path is the session's runtime folder, which outlives the
   process for as long as the user's login: files kept there are found by the next
   process of the same session. */
CF_EXPORT Boolean PrivateFolder_OutlivesProcess(void);

/* $XDG_RUNTIME_DIR when it names a folder of this user's own closed to everyone else,
   which goes with the user's login; null otherwise. */
CF_EXPORT const char *PrivateFolder_SessionRuntime(void);

/* Whether path may hold the process's own folder when there is no runtime folder: it and
   every folder above it are root's or this user's and closed to other writers unless
   sticky, and none of them is a link. */
CF_EXPORT Boolean PrivateFolder_IsSafeTemporaryFolder(const char *path);

CF_EXTERN_C_END

#endif
