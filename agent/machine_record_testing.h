// For unit tests only: where the machine folder is, and the clock of the retries. Null
// restores /var/lib/zelcups-agent; 0 restores the real clock.
#ifndef ZELCUPS_AGENT_MACHINE_RECORD_TESTING_H
#define ZELCUPS_AGENT_MACHINE_RECORD_TESTING_H

#include <time.h>

void MachineRecord_SetFolderForTesting(const char *path);
void MachineRecord_SetNowForTesting(time_t now);

#endif
