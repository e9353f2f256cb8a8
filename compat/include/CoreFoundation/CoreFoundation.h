/* Umbrella header, included by the agent exactly as on the original platform. */
#ifndef COMPAT_COREFOUNDATION_COREFOUNDATION_H
#define COMPAT_COREFOUNDATION_COREFOUNDATION_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFPropertyList.h>
#include <CoreFoundation/CFURL.h>
#include <CoreFoundation/CFBundle.h>
#include <CoreFoundation/CFNotificationCenter.h>
#include <CoreFoundation/CFUserNotification.h>
#include <CoreFoundation/CFRunLoop.h>

#endif
