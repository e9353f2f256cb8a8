/* Umbrella header, included by the agent exactly as on the original platform. */
#ifndef COMPAT_CORESERVICES_CORESERVICES_H
#define COMPAT_CORESERVICES_CORESERVICES_H

#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/FSEvents.h>

#endif
