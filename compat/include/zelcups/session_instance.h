/* One running copy of a program per user session. */
#ifndef COMPAT_ZELCUPS_SESSION_INSTANCE_H
#define COMPAT_ZELCUPS_SESSION_INSTANCE_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

/* Claims the session for the program called name, for as long as the process lives; the
   claim goes with the process, however it ends. False when another process holds it. A
   session without a bus is still one session: the claim lives in the user's runtime
   folder, not on the bus. */
CF_EXPORT Boolean SessionInstance_Claim(const char *name);

/* Whether the user turned the program called name off, in either of the ways a desktop
   offers: its user unit masked (`systemctl --user mask name`), or its autostart entry
   overridden in the user's own autostart folder with Hidden=true (or the desktop's
   "X-GNOME-Autostart-enabled=false"). Both start paths run the same program, so each
   honours both. Returns the file that says so (malloc'ed), or NULL. */
CF_EXPORT char *SessionInstance_CopyOptOut(const char *name);

CF_EXTERN_C_END

#endif
