// Where the agent keeps files that hold what the scheduler or the user handed it. A
// folder another user can write to lets them swap a file between its writing and its
// reading, so only folders closed to others qualify.
#include "zelcups/private_folder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Folder {
  std::string path;
  bool outlives_process = false;
};

// Ours alone: a real folder (not a link to one) owned by this user with no access for
// group or others.
bool IsClosedToOthers(const char *path) {
  struct stat status {};
  return path != nullptr && path[0] == '/' && lstat(path, &status) == 0 &&
         S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

// A folder in which no one else can rename or remove what this user makes: owned by this
// user or root, and either closed to other writers or sticky.
bool IsSafeFolder(const std::string &path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return false;
  }
  if (status.st_uid != geteuid() && status.st_uid != 0) {
    return false;
  }
  return (status.st_mode & 022) == 0 || (status.st_mode & S_ISVTX) != 0;
}

// The parent and every folder above it up to the root: whoever may rename one of them can
// put a folder of their own in the place of everything below it. A link on the way is
// refused, as the folder it leads to is not the one looked at.
bool IsSafeParent(const char *path) {
  if (path == nullptr || path[0] != '/') {
    return false;
  }
  std::string folder(path);
  for (;;) {
    while (folder.size() > 1 && folder.back() == '/') {
      folder.pop_back();
    }
    if (!IsSafeFolder(folder)) {
      return false;
    }
    if (folder == "/") {
      return true;
    }
    const std::size_t slash = folder.find_last_of('/');
    folder.resize(slash == 0 ? 1 : slash);
  }
}

std::string g_made_folder;

// Only the process's own folder is emptied, and only one level deep: it holds files.
void RemoveMadeFolder() {
  if (g_made_folder.empty()) {
    return;
  }
  if (DIR *dir = opendir(g_made_folder.c_str())) {
    while (const dirent *entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        unlink((g_made_folder + "/" + name).c_str());
      }
    }
    closedir(dir);
  }
  rmdir(g_made_folder.c_str());
}

Folder FindFolder() {
  if (const char *runtime = PrivateFolder_SessionRuntime()) {
    return {runtime, true};
  }
  for (const char *parent : {static_cast<const char *>(std::getenv("TMPDIR")), "/tmp"}) {
    if (!IsSafeParent(parent)) {
      continue;
    }
    std::string name = std::string(parent) + "/zelcups-XXXXXX";
    std::vector<char> writable(name.begin(), name.end());
    writable.push_back('\0');
    // mkdtemp makes the folder with mode 0700.
    if (mkdtemp(writable.data()) != nullptr) {
      g_made_folder = writable.data();
      std::atexit(RemoveMadeFolder);
      return {g_made_folder, false};
    }
  }
  return {};
}

const Folder &TheFolder() {
  static std::once_flag once;
  static Folder folder;
  std::call_once(once, [] { folder = FindFolder(); });
  return folder;
}

}  // namespace

const char *PrivateFolder_SessionRuntime(void) {
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  return IsClosedToOthers(runtime) ? runtime : nullptr;
}

const char *PrivateFolder_Path(void) {
  const Folder &folder = TheFolder();
  return folder.path.empty() ? nullptr : folder.path.c_str();
}

Boolean PrivateFolder_IsSafeTemporaryFolder(const char *path) {
  return IsSafeParent(path);
}

Boolean PrivateFolder_OutlivesProcess(void) {
  return TheFolder().outlives_process;
}
