// The alert for a queue that the driver's plug-in could not set up.
#ifndef ZELCUPS_AGENT_LIBINFO_ALERT_H
#define ZELCUPS_AGENT_LIBINFO_ALERT_H

// Tells the user that the driver's plug-in could not set up the new queue, naming it, and
// waits for the answer.
void LibinfoAlert_Show(const char *queue_name);

#endif
