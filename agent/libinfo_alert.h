// The alert for a queue that the driver's plug-in could not set up.
#ifndef ZELCUPS_AGENT_LIBINFO_ALERT_H
#define ZELCUPS_AGENT_LIBINFO_ALERT_H

// Tells the user that the driver's plug-in could not set up the new queue, naming it, and
// waits for the answer. False when it was not shown (no notification service took it in
// time) or no answer can come (the service went away, a quit).
bool LibinfoAlert_Show(const char *queue_name);

#endif
