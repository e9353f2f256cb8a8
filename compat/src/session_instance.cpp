// One running copy per session: an advisory lock on a file in the user's runtime folder.
// The kernel drops the lock when the process ends, even when it is killed, so a stale
// file never keeps a new copy from starting.
#include "zelcups/journal.h"
#include "zelcups/session_instance.h"

#include "zelcups/holders.h"
#include "zelcups/private_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// $XDG_RUNTIME_DIR belongs to the user's login and goes with it; without one, a folder
// of this user's own in the temporary folder stands in. A lock file in a folder others may
// write could be swapped for one that no agent holds, so only a closed folder will do.
std::string LockFolder(const char *name) {
  if (const char *runtime = PrivateFolder_SessionRuntime()) {
    return runtime;
  }
  struct stat status {};
  std::string folder = "/tmp/" + std::to_string(getuid()) + "-runtime";
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return {};
  }
  // Someone else's folder of that name must not decide whether this user's agent runs;
  // but running without the claim is worth a word, as a second copy would then double
  // all it does.
  if (lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      status.st_uid != getuid() || (status.st_mode & 077) != 0) {
    fprintf(stderr,
            "%s%s: %s is not a folder of this user's own, closed to others; without "
            "XDG_RUNTIME_DIR nothing keeps a second copy of %s from running in this session\n",
            Journal_Prefix(kJournalWarning), name, folder.c_str(), name);
    return {};
  }
  return folder;
}

}  // namespace

Boolean SessionInstance_Claim(const char *name) {
  if (name == nullptr || name[0] == '\0') {
    return false;
  }
  const std::string folder = LockFolder(name);
  if (folder.empty()) {
    // Nowhere to keep the claim: running is better than never starting.
    return true;
  }
  const std::string path = folder + "/" + name + ".lock";
  // Kept open, and so locked, until the process ends.
  zelcups::ScopedFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    return true;
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  fd.release();
  return true;
}
