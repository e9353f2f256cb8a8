// Re-pointing one new or changed queue at the maker's backend.
#ifndef ZELCUPS_AGENT_QUEUE_SETUP_H
#define ZELCUPS_AGENT_QUEUE_SETUP_H

// Checks that the queue's PPD belongs to the driver family, re-registers the queue with
// lpadmin under the backend URI formed from its device URI, and for every queue not
// connected over USB opens the info plug-in for it, alerting the user when that fails.
// A queue that cannot be handled is left as it is. Either way one journal line says what
// became of it.
void QueueSetup_SetUp(const char *queue_name);

// Whether the last QueueSetup_SetUp left its queue alone only because the name lookup for
// its printer was given up (a quit request, or no answer in time). Nothing was changed
// then, and the queue is not handled: it is to be tried again, never taken as done.
bool QueueSetup_LastAbandoned(void);

#endif
