// For unit tests only: the product profile is read from path instead of the fixed path in
// the driver directory; null restores the fixed path. Not exported from the library.
#ifndef ZELCUPS_PLATFORM_COMMON_LIB_TESTING_H
#define ZELCUPS_PLATFORM_COMMON_LIB_TESTING_H

#include "CommonLib.h"

extern "C" void CommonLib_SetProductProfilePathForTesting(const char *path);

#endif
