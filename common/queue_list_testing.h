// For unit tests only: the queue snapshot of a directory of the test's choosing. The
// module's callers always scan the fixed PPD directory.
#ifndef ZELCUPS_COMMON_QUEUE_LIST_TESTING_H
#define ZELCUPS_COMMON_QUEUE_LIST_TESTING_H

#include "zelcups_common.h"

#ifdef __cplusplus
extern "C" {
#endif

QueueList *zelcups_common_cups_queuelist_initialize_in_directory_for_testing(const char *directory,
                                                                             int32_t *queue_count);

#ifdef __cplusplus
}
#endif

#endif
