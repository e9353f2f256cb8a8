// What became of each queue a tick handled, one line on standard error: the journal of
// the user unit, the session's log under autostart. Nothing is written while idle.
#ifndef ZELCUPS_AGENT_QUEUE_JOURNAL_H
#define ZELCUPS_AGENT_QUEUE_JOURNAL_H

#include <string_view>

// "zelcups-agent: queue NAME re-pointed to URI"
void QueueJournal_Repointed(std::string_view queue_name, std::string_view backend_uri);

// "zelcups-agent: queue NAME left alone: REASON"
void QueueJournal_LeftAlone(std::string_view queue_name, std::string_view reason);

#endif
