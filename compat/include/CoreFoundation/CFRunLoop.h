/* The one run loop there is: the main thread's, which the Carbon event loop runs. */
#ifndef COMPAT_COREFOUNDATION_CFRUNLOOP_H
#define COMPAT_COREFOUNDATION_CFRUNLOOP_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef struct __CFRunLoop *CFRunLoopRef;

/* Every mode is the default one. */
#define kCFRunLoopDefaultMode CFSTR("kCFRunLoopDefaultMode")
#define kCFRunLoopCommonModes CFSTR("kCFRunLoopCommonModes")

CF_EXPORT CFRunLoopRef CFRunLoopGetMain(void);

CF_EXTERN_C_END

#endif
