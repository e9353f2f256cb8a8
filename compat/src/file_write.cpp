#include "zelcups/file_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "zelcups/holders.h"

namespace zelcups {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written == 0) {
      errno = EIO;
    }
    if (written <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

int ReplaceFile(const std::string &path, std::string_view text, const FileReplacement &how) {
  std::string temporary = path + ".XXXXXX";
  ScopedFd fd(mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    return -1;
  }
  const bool saved = fchmod(fd.get(), how.mode) == 0 &&
                     (how.group == static_cast<gid_t>(-1) ||
                      fchown(fd.get(), static_cast<uid_t>(-1), how.group) == 0) &&
                     WriteAll(fd.get(), text) && (!how.durable || fsync(fd.get()) == 0) &&
                     rename(temporary.c_str(), path.c_str()) == 0;
  if (!saved) {
    const int error = errno;
    unlink(temporary.c_str());
    errno = error;
    return -1;
  }
  return fd.release();
}

}  // namespace zelcups
