// For unit tests only: the queue handler the tick calls, to see which queues it hands on
// (the PPD folder is set in queue_list_testing.h). Null restores QueueSetup_SetUp. The tick
// has one path either way.
#ifndef ZELCUPS_AGENT_PRINTER_SETUP_TESTING_H
#define ZELCUPS_AGENT_PRINTER_SETUP_TESTING_H

#include "printer_setup.h"
#include "queue_setup.h"

using PrinterSetupQueueHandler = QueueOutcome (*)(const char *queue_name, uint32_t quiet_reason);

void PrinterSetup_SetQueueHandlerForTesting(PrinterSetupQueueHandler handler);

#endif
