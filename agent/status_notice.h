// The status-notice observer: registered at start-up, removed at shutdown.
#ifndef ZELCUPS_AGENT_STATUS_NOTICE_H
#define ZELCUPS_AGENT_STATUS_NOTICE_H

#include <stdint.h>

#include "agent_context.h"

int32_t Alert_InitializeNotify(AgentContext *context);
void Alert_TerminateNotify(AgentContext *context);

#endif
