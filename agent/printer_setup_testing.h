// For unit tests only: run the watcher against a directory of the test's choosing and see
// which queues a tick hands on. The shipped agent always watches the fixed PPD directory.
#ifndef ZELCUPS_AGENT_PRINTER_SETUP_TESTING_H
#define ZELCUPS_AGENT_PRINTER_SETUP_TESTING_H

#include "agent_context.h"

using PrinterSetupQueueHandler = void (*)(const char *queue_name);

void PrinterSetup_SetPPDDirectoryForTesting(const char *directory);
void PrinterSetup_SetQueueHandlerForTesting(PrinterSetupQueueHandler handler);

#endif
