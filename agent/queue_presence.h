// Whether a queue still exists, asked right before the agent changes it.
#ifndef ZELCUPS_AGENT_QUEUE_PRESENCE_H
#define ZELCUPS_AGENT_QUEUE_PRESENCE_H

// True while the scheduler keeps the queue's PPD file, which it removes together with the
// queue. lpadmin -p creates a queue that is gone, so this is asked after every slow step
// of a queue's handling (the PPD fetch, the name lookup), as close to lpadmin as can be.
bool QueuePresence_StillExists(const char *queue_name);

#endif
