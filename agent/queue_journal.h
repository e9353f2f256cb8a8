// What became of each queue a tick handled, one line on standard error: the journal of
// the user unit, the session's log under autostart. Nothing is written while idle. Each
// line has its level (<zelcups/journal.h>): a queue left alone for a cause someone must
// act on is a warning, one that is none of the agent's business is routine.
#ifndef ZELCUPS_AGENT_QUEUE_JOURNAL_H
#define ZELCUPS_AGENT_QUEUE_JOURNAL_H

#include <string>
#include <string_view>

#include "zelcups/journal.h"

// Text from users or the network as the journal writes it: control bytes and the
// backslash escaped, so that it can neither forge nor split a line.
std::string QueueJournal_Printable(std::string_view text);

// "zelcups-agent: queue NAME re-pointed to URI", a notice.
void QueueJournal_Repointed(std::string_view queue_name, std::string_view backend_uri);

// "zelcups-agent: queue NAME left alone: REASON"
void QueueJournal_LeftAlone(std::string_view queue_name, std::string_view reason, int level);

// "zelcups-agent: queue NAME: TEXT", what else befell the queue (its plug-in, its alert).
void QueueJournal_Note(std::string_view queue_name, std::string_view text, int level);

// "zelcups-agent: TEXT", a line about the agent itself.
void QueueJournal_Say(std::string_view text, int level);

#endif
