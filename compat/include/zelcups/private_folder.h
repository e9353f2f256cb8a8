/* The folder for a program's private files: the PPD copy, the snapshot, the lock. */
#ifndef COMPAT_ZELCUPS_PRIVATE_FOLDER_H
#define COMPAT_ZELCUPS_PRIVATE_FOLDER_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

/* A folder that is this user's own and closed to everyone else, or null when there is
   none. The session's runtime folder when it is so; otherwise a folder of the process's
   own, made on first use under a temporary folder that others cannot rename it in, and
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

CF_EXTERN_C_END

#endif
