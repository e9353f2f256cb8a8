// The event stream on the PPD directory: its callback runs the watcher's tick, which reads
// the directory's time itself, so a change seen by both the stream and the timer is
// handled once.
#include "folder_stream.h"

#include <CoreServices/CoreServices.h>

#include <cstdlib>

#include "printer_setup.h"
#include "zelcups/scoped.h"
#include "zelcups/time_limits.h"

namespace {

constexpr CFTimeInterval kLatency =
    std::chrono::duration<CFTimeInterval>(zelcups::kFolderChangeLatency).count();

// Set by end-to-end tests to show that the timer alone still finds every change.
constexpr char kTimerOnlyForTesting[] = "ZELCUPS_TESTING_TIMER_ONLY";

void OnFolderChanged(ConstFSEventStreamRef, void *info, size_t, void *,
                     const FSEventStreamEventFlags[], const FSEventStreamEventId[]) {
  z_CallbackForPrinterSetup(nullptr, info);
}

}  // namespace

void FolderStream_Start(AgentContext *context, const char *directory) {
  if (context == nullptr || std::getenv(kTimerOnlyForTesting) != nullptr) {
    return;
  }
  zelcups::ScopedCFTypeRef<CFStringRef> path(
      CFStringCreateWithCString(kCFAllocatorDefault, directory, kCFStringEncodingUTF8));
  const void *paths[] = {path.get()};
  zelcups::ScopedCFTypeRef<CFArrayRef> watched(
      CFArrayCreate(kCFAllocatorDefault, paths, 1, &kCFTypeArrayCallBacks));
  if (!path || !watched) {
    return;
  }
  FSEventStreamContext stream_context = {0, context, nullptr, nullptr, nullptr};
  FSEventStreamRef stream =
      FSEventStreamCreate(kCFAllocatorDefault, OnFolderChanged, &stream_context, watched.get(),
                          kFSEventStreamEventIdSinceNow, kLatency, kFSEventStreamCreateFlagNone);
  if (stream == nullptr) {
    return;
  }
  FSEventStreamScheduleWithRunLoop(stream, CFRunLoopGetMain(), kCFRunLoopDefaultMode);
  if (!FSEventStreamStart(stream)) {
    FSEventStreamInvalidate(stream);
    FSEventStreamRelease(stream);
    return;
  }
  context->watcher_stream = stream;
}

void FolderStream_Stop(AgentContext *context) {
  if (context == nullptr || context->watcher_stream == nullptr) {
    return;
  }
  FSEventStreamStop(context->watcher_stream);
  FSEventStreamInvalidate(context->watcher_stream);
  FSEventStreamRelease(context->watcher_stream);
  context->watcher_stream = nullptr;
}
