// The package manager replaces a file by renaming a new one over it, and removes one by
// unlinking it: either way the name stops naming the file this process runs. A monitor on
// the name sees both; the settle time lets an upgrade finish its other files (the
// libraries come in the same run) before the new program starts.
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <Carbon/Carbon.h>

#include "zelcups/journal.h"
#include "zelcups/own_executable.h"
#include "zelcups/time_limits.h"

namespace {

enum class Fate { kInstalled, kReplaced, kRemoved };

struct Watch {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  GFileMonitor *monitor = nullptr;
  guint settle = 0;
  Fate fate = Fate::kInstalled;
};

Watch g_watch;

Fate LookAgain() {
  struct stat status {};
  if (stat(g_watch.path.c_str(), &status) != 0) {
    return errno == ENOENT ? Fate::kRemoved : Fate::kInstalled;
  }
  return status.st_dev == g_watch.device && status.st_ino == g_watch.inode ? Fate::kInstalled
                                                                           : Fate::kReplaced;
}

gboolean Settled(gpointer) {
  g_watch.settle = 0;
  g_watch.fate = LookAgain();
  if (g_watch.fate != Fate::kInstalled) {
    QuitApplicationEventLoop();
  }
  return G_SOURCE_REMOVE;
}

void OnChange(GFileMonitor *, GFile *, GFile *, GFileMonitorEvent, gpointer) {
  if (g_watch.settle != 0) {
    g_source_remove(g_watch.settle);
  }
  g_watch.settle =
      g_timeout_add(static_cast<guint>(zelcups::kPackageSettleTime.count()), Settled, nullptr);
}

}  // namespace

void OwnExecutable_Watch(void) {
  g_autofree gchar *path = g_file_read_link("/proc/self/exe", nullptr);
  struct stat status {};
  if (g_watch.monitor != nullptr || path == nullptr || stat(path, &status) != 0) {
    return;  // already watched, or already gone: nothing to compare with
  }
  g_watch.path = path;
  g_watch.device = status.st_dev;
  g_watch.inode = status.st_ino;
  g_autoptr(GFile) file = g_file_new_for_path(path);
  g_watch.monitor = g_file_monitor_file(file, G_FILE_MONITOR_NONE, nullptr, nullptr);
  if (g_watch.monitor != nullptr) {
    g_signal_connect(g_watch.monitor, "changed", G_CALLBACK(OnChange), nullptr);
  }
}

void OwnExecutable_FollowPackage(char **argv) {
  if (g_watch.monitor != nullptr) {
    g_file_monitor_cancel(g_watch.monitor);
    g_clear_object(&g_watch.monitor);
  }
  if (g_watch.fate == Fate::kRemoved) {
    fprintf(stderr, "%s%s: %s was removed (the package is gone); it ends\n",
            Journal_Prefix(kJournalNotice), program_invocation_short_name, g_watch.path.c_str());
  } else if (g_watch.fate == Fate::kReplaced && argv != nullptr) {
    fprintf(stderr, "%s%s: %s was replaced (the package was upgraded); the new one starts\n",
            Journal_Prefix(kJournalNotice), program_invocation_short_name, g_watch.path.c_str());
    fflush(stderr);
    execv(g_watch.path.c_str(), argv);
    fprintf(stderr, "%s%s: the new %s cannot be started: %s\n", Journal_Prefix(kJournalError),
            program_invocation_short_name, g_watch.path.c_str(), strerror(errno));
  }
}
