// Re-pointing one new or changed queue at the maker's backend.
#ifndef ZELCUPS_AGENT_QUEUE_SETUP_H
#define ZELCUPS_AGENT_QUEUE_SETUP_H

void z_SetUpQueue(const char *queue_name);

#endif
