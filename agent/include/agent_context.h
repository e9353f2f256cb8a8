// The agent's one process-wide record and the start-up and shutdown steps around it.
#ifndef ZELCUPS_AGENT_AGENT_CONTEXT_H
#define ZELCUPS_AGENT_AGENT_CONTEXT_H

#include <stdint.h>
#include <time.h>

#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>

#include "zelcups_common.h"

// Owned by main for the whole run; zero-filled when allocated.
struct AgentContext {
  int32_t ppd_dir_mtime;  // whole seconds of the PPD directory's time as last seen
  int32_t queue_list_count;
  QueueList *queue_list;
  CFStringRef notification_identifier;
  // The same time at full resolution: a queue added within the second of the last look
  // changes only the nanoseconds.
  struct timespec ppd_dir_mtime_full;
  // The watcher's timer, removed at shutdown; null while none is installed.
  EventLoopTimerRef watcher_timer;
  // The event stream on the PPD directory beside the timer; null while none runs.
  FSEventStreamRef watcher_stream;
};

// Start-up, the event loop and shutdown; the process's result.
int32_t Agent_Main(void);

#endif
