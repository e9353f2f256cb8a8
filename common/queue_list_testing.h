// For unit tests only: the directory that stands in for the scheduler's PPD folder
// everywhere (the queue list, the watcher, the queue handling); null restores it.
#ifndef ZELCUPS_COMMON_QUEUE_LIST_TESTING_H
#define ZELCUPS_COMMON_QUEUE_LIST_TESTING_H

#include "zelcups_common.h"

#ifdef __cplusplus
extern "C" {
#endif

void zelcups_common_cups_queuelist_set_directory_for_testing(const char *directory);

#ifdef __cplusplus
}
#endif

#endif
