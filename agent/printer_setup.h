// The queue watcher: its timer, the starting snapshot, and the tick that finds new and
// changed queues whenever the PPD directory changes.
#ifndef ZELCUPS_AGENT_PRINTER_SETUP_H
#define ZELCUPS_AGENT_PRINTER_SETUP_H

#include "agent_context.h"

int32_t PrinterSetup_InitializeNotify(AgentContext *context);
void PrinterSetup_TerminateNotify(AgentContext *context);

// The watcher timer's callback; inUserData is the AgentContext.
void z_CallbackForPrinterSetup(EventLoopTimerRef inTimer, void *inUserData);

#endif
