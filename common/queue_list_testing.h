// For unit tests only: the directory that zelcups_common_cups_queuelist_initialize scans
// in place of the fixed PPD directory; null restores the fixed one.
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
