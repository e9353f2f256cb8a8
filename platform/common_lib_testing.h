// Entry points that only the unit tests use: the profile reader on a path of the test's
// choosing. The shipped library reads its fixed path only.
#ifndef ZELCUPS_PLATFORM_COMMON_LIB_TESTING_H
#define ZELCUPS_PLATFORM_COMMON_LIB_TESTING_H

#include "CommonLib.h"

extern "C" OSStatus ZEL_INF_GetProductProfileAtPathForTesting(const char *path,
                                                              ZEL_PMTicketRef *outTicket);

#endif
