// What became of each queue a tick handled, one line on standard error: the journal of
// the user unit, the session's log under autostart. Nothing is written while idle.
#ifndef ZELCUPS_AGENT_QUEUE_JOURNAL_H
#define ZELCUPS_AGENT_QUEUE_JOURNAL_H

#include <string>
#include <string_view>

// Text from users or the network as the journal writes it: control bytes and the
// backslash escaped, so that it can neither forge nor split a line.
std::string QueueJournal_Printable(std::string_view text);

// "zelcups-agent: queue NAME re-pointed to URI"
void QueueJournal_Repointed(std::string_view queue_name, std::string_view backend_uri);

// "zelcups-agent: queue NAME left alone: REASON"
void QueueJournal_LeftAlone(std::string_view queue_name, std::string_view reason);

#endif
