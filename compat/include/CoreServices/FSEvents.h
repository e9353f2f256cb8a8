/* File-system event streams: the part the agent uses. A stream watches one folder (not
   its subfolders) for entries made, removed, renamed, written or changed in their
   attributes, and for the folder itself going away. The first event after a quiet spell
   starts the latency; everything up to its end reaches the callback as one event for the
   folder. Only kFSEventStreamEventIdSinceNow and kFSEventStreamCreateFlagNone are
   supported; the stream is scheduled on the main run loop, and its callback runs there. */
#ifndef COMPAT_CORESERVICES_FSEVENTS_H
#define COMPAT_CORESERVICES_FSEVENTS_H

#include <CoreFoundation/CoreFoundation.h>

CF_EXTERN_C_BEGIN

typedef struct __FSEventStream *FSEventStreamRef;
typedef const struct __FSEventStream *ConstFSEventStreamRef;
typedef UInt64 FSEventStreamEventId;
typedef UInt32 FSEventStreamCreateFlags;
typedef UInt32 FSEventStreamEventFlags;

#define kFSEventStreamEventIdSinceNow ((FSEventStreamEventId)0xFFFFFFFFFFFFFFFFULL)

enum {
  kFSEventStreamCreateFlagNone = 0x00000000,
};

enum {
  kFSEventStreamEventFlagNone = 0x00000000,
  /* Events were lost: whatever the callback keeps about the folder, it must look again. */
  kFSEventStreamEventFlagMustScanSubDirs = 0x00000001,
  kFSEventStreamEventFlagKernelDropped = 0x00000004,
  /* The folder was removed, renamed or unmounted: the stream watches it again once a
     folder of that path is made again in its parent. */
  kFSEventStreamEventFlagRootChanged = 0x00000020,
};

typedef struct FSEventStreamContext {
  CFIndex version; /* 0 */
  void *info;
  const void *(*retain)(const void *info);
  void (*release)(const void *info);
  CFStringRef (*copyDescription)(const void *info);
} FSEventStreamContext;

/* eventPaths is a char ** of numEvents folder paths. */
typedef void (*FSEventStreamCallback)(ConstFSEventStreamRef streamRef, void *clientCallBackInfo,
                                      size_t numEvents, void *eventPaths,
                                      const FSEventStreamEventFlags eventFlags[],
                                      const FSEventStreamEventId eventIds[]);

/* NULL for a NULL callback, pathsToWatch not holding exactly one absolute path, a negative
   latency, or what is not supported. */
CF_EXPORT FSEventStreamRef FSEventStreamCreate(
    CFAllocatorRef allocator, FSEventStreamCallback callback, FSEventStreamContext *context,
    CFArrayRef pathsToWatch, FSEventStreamEventId sinceWhen, CFTimeInterval latency,
    FSEventStreamCreateFlags flags);
CF_EXPORT void FSEventStreamScheduleWithRunLoop(FSEventStreamRef streamRef, CFRunLoopRef runLoop,
                                                CFStringRef runLoopMode);
/* False when the stream is not scheduled, or when the folder cannot be watched (it does
   not exist, or its file system reports no events): then no event ever comes. */
CF_EXPORT Boolean FSEventStreamStart(FSEventStreamRef streamRef);
/* No callback comes after it, not even for events that were waiting for the latency. */
CF_EXPORT void FSEventStreamStop(FSEventStreamRef streamRef);
CF_EXPORT void FSEventStreamInvalidate(FSEventStreamRef streamRef);
CF_EXPORT void FSEventStreamRelease(FSEventStreamRef streamRef);

CF_EXTERN_C_END

#endif
