// For unit tests only: the directory whose time the watcher reads (the test points the
// queue list at the same one, see queue_list_testing.h), and the queue handler the tick
// calls, to see which queues it hands on. Null restores the fixed directory and
// z_SetUpQueue. The tick has one path either way.
#ifndef ZELCUPS_AGENT_PRINTER_SETUP_TESTING_H
#define ZELCUPS_AGENT_PRINTER_SETUP_TESTING_H

#include "agent_context.h"

using PrinterSetupQueueHandler = void (*)(const char *queue_name);

void PrinterSetup_SetPPDDirectoryForTesting(const char *directory);
void PrinterSetup_SetQueueHandlerForTesting(PrinterSetupQueueHandler handler);

#endif
