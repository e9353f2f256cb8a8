// Writing files whole: every byte or a failure, and a file replaced so that a reader finds
// the old one or the new one, never a part. The agent's saved state and the files it hands
// to others are written through these alone.
#ifndef COMPAT_ZELCUPS_FILE_WRITE_H
#define COMPAT_ZELCUPS_FILE_WRITE_H

#include <CoreFoundation/CFBase.h>
#include <sys/types.h>

#include <string>
#include <string_view>

namespace zelcups {

// Writes all of bytes to fd, going on after interrupted and short writes. False with errno
// set when not every byte went out; a write that takes nothing and gives no reason is an
// error (EIO), not something to try for ever.
CF_EXPORT bool WriteAll(int fd, std::string_view bytes);

// How a replacement is made: its mode and group (-1 keeps the user's), and whether it must
// be on the disk before it takes the old file's place (not needed in a folder that does
// not outlive the machine's run).
struct FileReplacement {
  mode_t mode = 0600;
  gid_t group = static_cast<gid_t>(-1);
  bool durable = false;
};

// Writes text to a new file beside path and renames it over path. Returns the new file's
// descriptor, open for writing, which the caller closes; -1 with errno set, and nothing
// left beside path, when it could not be done.
CF_EXPORT int ReplaceFile(const std::string &path, std::string_view text,
                          const FileReplacement &how);

}  // namespace zelcups

#endif
