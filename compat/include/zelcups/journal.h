/* The level of a line on standard error, for the administrator who reads the journal:
   `journalctl -p warning` must list what someone has to act on, and nothing routine. */
#ifndef COMPAT_ZELCUPS_JOURNAL_H
#define COMPAT_ZELCUPS_JOURNAL_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

/* syslog's levels, as the journal takes them. */
enum {
  kJournalError = 3,   /* the agent's own failure */
  kJournalWarning = 4, /* left undone for a cause someone must act on */
  kJournalNotice = 5,  /* done: a queue re-pointed, a service back */
  kJournalInfo = 6     /* routine */
};

/* What a line of that level starts with: "<N>" when standard error is the journal's
   stream (the user manager says so in JOURNAL_STREAM, the stream's device and inode),
   otherwise nothing, so a terminal or a log file gets the plain line. Decided at the
   first call; safe from any thread after it. */
CF_EXPORT const char *Journal_Prefix(int level);

CF_EXTERN_C_END

#endif
