// File-system event streams on inotify, dispatched by GLib's default main context, where
// the Carbon event loop runs.
#include <CoreServices/CoreServices.h>

#include <glib-unix.h>
#include <glib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <memory>
#include <string>

#include "zelcups/holders.h"

struct __CFRunLoop {
  int unused;
};

struct __FSEventStream {
  FSEventStreamCallback callback = nullptr;
  FSEventStreamContext context{};
  std::string path;
  guint latency_ms = 0;
  bool scheduled = false;
  zelcups::ScopedFd fd;  // closing it removes its watches
  int folder_watch = -1;
  // Only while the folder is missing: its parent, to see it made again.
  int parent_watch = -1;
  guint fd_source = 0;
  guint latency_source = 0;
  bool event_pending = false;
  FSEventStreamEventFlags pending_flags = kFSEventStreamEventFlagNone;
  FSEventStreamEventId last_id = 0;
};

namespace {

__CFRunLoop g_main_run_loop;

// What changes the folder's listing or an entry in it; writes count once, when the file
// is closed. IN_MOVE_SELF: the watch would follow the folder to its new name.
constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                 IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                 IN_ONLYDIR;
constexpr uint32_t kParentMask = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

std::string ParentOf(const std::string &path) {
  std::string::size_type slash = path.find_last_of('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string &path) {
  return path.substr(path.find_last_of('/') + 1);
}

// Watches the folder, or, while it is missing, its parent; false when neither can be.
bool WatchFolderOrParent(__FSEventStream *stream) {
  stream->folder_watch = inotify_add_watch(stream->fd.get(), stream->path.c_str(), kFolderMask);
  if (stream->folder_watch >= 0) {
    if (stream->parent_watch >= 0) {
      inotify_rm_watch(stream->fd.get(), stream->parent_watch);
      stream->parent_watch = -1;
    }
    return true;
  }
  if (stream->parent_watch < 0) {
    stream->parent_watch =
        inotify_add_watch(stream->fd.get(), ParentOf(stream->path).c_str(), kParentMask);
  }
  return stream->parent_watch >= 0;
}

gboolean DeliverPending(gpointer data) {
  auto *stream = static_cast<__FSEventStream *>(data);
  stream->latency_source = 0;
  const char *paths[] = {stream->path.c_str()};
  FSEventStreamEventFlags flags[] = {stream->pending_flags};
  FSEventStreamEventId ids[] = {++stream->last_id};
  stream->event_pending = false;
  stream->pending_flags = kFSEventStreamEventFlagNone;
  // The callback may stop or release the stream: nothing of it is touched afterwards.
  stream->callback(stream, stream->context.info, 1, paths, flags, ids);
  return G_SOURCE_REMOVE;
}

void Note(__FSEventStream *stream, FSEventStreamEventFlags flags) {
  stream->event_pending = true;
  stream->pending_flags |= flags;
}

void HandleEvent(__FSEventStream *stream, const inotify_event &event) {
  if ((event.mask & IN_Q_OVERFLOW) != 0) {
    Note(stream, kFSEventStreamEventFlagMustScanSubDirs | kFSEventStreamEventFlagKernelDropped);
  } else if (event.wd == stream->folder_watch) {
    if ((event.mask & IN_MOVE_SELF) != 0) {
      // Gone from its path; removing the watch brings the IN_IGNORED handled below.
      inotify_rm_watch(stream->fd.get(), stream->folder_watch);
    }
    if ((event.mask & IN_IGNORED) != 0) {
      Note(stream, kFSEventStreamEventFlagRootChanged);
      WatchFolderOrParent(stream);
    } else {
      Note(stream, kFSEventStreamEventFlagNone);
    }
  } else if (event.wd == stream->parent_watch) {
    if ((event.mask & IN_IGNORED) != 0) {
      stream->parent_watch = -1;
    } else if (event.len > 0 && NameOf(stream->path) == event.name && WatchFolderOrParent(stream) &&
               stream->folder_watch >= 0) {
      Note(stream, kFSEventStreamEventFlagRootChanged);
    }
  }
}

gboolean OnReadable(gint fd, GIOCondition, gpointer data) {
  auto *stream = static_cast<__FSEventStream *>(data);
  alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) {
        continue;
      }
      break;
    }
    for (ssize_t offset = 0; offset < got;) {
      const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
      HandleEvent(stream, *event);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  if (stream->event_pending && stream->latency_source == 0) {
    stream->latency_source = g_timeout_add(stream->latency_ms, DeliverPending, stream);
  }
  return G_SOURCE_CONTINUE;
}

void ClearSource(guint *source) {
  if (*source != 0) {
    g_source_remove(*source);
    *source = 0;
  }
}

}  // namespace

CFRunLoopRef CFRunLoopGetMain(void) {
  return &g_main_run_loop;
}

FSEventStreamRef FSEventStreamCreate(CFAllocatorRef, FSEventStreamCallback callback,
                                     FSEventStreamContext *context, CFArrayRef pathsToWatch,
                                     FSEventStreamEventId sinceWhen, CFTimeInterval latency,
                                     FSEventStreamCreateFlags flags) {
  if (callback == nullptr || pathsToWatch == nullptr || CFArrayGetCount(pathsToWatch) != 1 ||
      sinceWhen != kFSEventStreamEventIdSinceNow || flags != kFSEventStreamCreateFlagNone ||
      !(latency >= 0) || latency > 86400) {
    return nullptr;
  }
  auto path = static_cast<CFStringRef>(CFArrayGetValueAtIndex(pathsToWatch, 0));
  char buffer[PATH_MAX];
  if (path == nullptr || CFGetTypeID(path) != CFStringGetTypeID() ||
      !CFStringGetCString(path, buffer, sizeof buffer, kCFStringEncodingUTF8) || buffer[0] != '/') {
    return nullptr;
  }
  auto stream = std::make_unique<__FSEventStream>();
  stream->callback = callback;
  if (context != nullptr) {
    stream->context = *context;
    if (context->retain != nullptr) {
      stream->context.info = const_cast<void *>(context->retain(context->info));
    }
  }
  stream->path = buffer;
  while (stream->path.size() > 1 && stream->path.back() == '/') {
    stream->path.pop_back();
  }
  stream->latency_ms = static_cast<guint>(std::lround(latency * 1000));
  return stream.release();
}

void FSEventStreamScheduleWithRunLoop(FSEventStreamRef streamRef, CFRunLoopRef runLoop,
                                      CFStringRef) {
  if (streamRef != nullptr && runLoop == &g_main_run_loop) {
    streamRef->scheduled = true;
  }
}

Boolean FSEventStreamStart(FSEventStreamRef streamRef) {
  if (streamRef == nullptr || !streamRef->scheduled) {
    return false;
  }
  if (streamRef->fd.get() >= 0) {
    return true;
  }
  streamRef->fd.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (streamRef->fd.get() < 0 || !WatchFolderOrParent(streamRef)) {
    FSEventStreamStop(streamRef);
    return false;
  }
  streamRef->fd_source = g_unix_fd_add(streamRef->fd.get(), G_IO_IN, OnReadable, streamRef);
  return true;
}

void FSEventStreamStop(FSEventStreamRef streamRef) {
  if (streamRef == nullptr) {
    return;
  }
  ClearSource(&streamRef->latency_source);
  ClearSource(&streamRef->fd_source);
  streamRef->fd.reset();
  streamRef->folder_watch = -1;
  streamRef->parent_watch = -1;
  streamRef->event_pending = false;
  streamRef->pending_flags = kFSEventStreamEventFlagNone;
}

void FSEventStreamInvalidate(FSEventStreamRef streamRef) {
  if (streamRef != nullptr) {
    FSEventStreamStop(streamRef);
    streamRef->scheduled = false;
  }
}

void FSEventStreamRelease(FSEventStreamRef streamRef) {
  if (streamRef == nullptr) {
    return;
  }
  std::unique_ptr<__FSEventStream> stream(streamRef);
  FSEventStreamInvalidate(stream.get());
  if (stream->context.release != nullptr) {
    stream->context.release(stream->context.info);
  }
}
