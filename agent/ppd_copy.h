// A queue's PPD fetched from the local scheduler, for a user who may administer printers
// but may not read the scheduler's own copies (root:lp, mode 0640, on Debian).
#ifndef ZELCUPS_AGENT_PPD_COPY_H
#define ZELCUPS_AGENT_PPD_COPY_H

#include <cstdint>
#include <string>

#include "zelcups/holders.h"

// The maker's PPDs are a few hundred kilobytes; anything far larger is not one of them and
// would only fill the user's runtime folder.
inline constexpr std::int64_t kMaxPPDCopyBytes = 16 * 1024 * 1024;

// A private file (mode 0600) in the agent's private folder, complete or not kept at all;
// removed when the holder goes, on every path out of the queue's handling.
class ScopedPPDCopy {
 public:
  ScopedPPDCopy() = default;
  ~ScopedPPDCopy();
  ScopedPPDCopy(const ScopedPPDCopy &) = delete;
  ScopedPPDCopy &operator=(const ScopedPPDCopy &) = delete;

  // Where lpadmin finds the copy: a name inside the private folder.
  const std::string &path() const { return path_; }
  // The file the agent wrote, read through its own descriptor ("/proc/self/fd/N"), so that
  // what is checked is what was fetched, whatever has become of the name since.
  const std::string &read_path() const { return read_path_; }
  // Fetches queue_name's PPD. False, with no file and the reason in *why, when the
  // scheduler does not answer or has no PPD for the queue, the PPD is larger than
  // kMaxPPDCopyBytes, or the copy could not be written whole.
  bool Fetch(const char *queue_name, std::string *why);
  // Removes the file now, as soon as nothing needs it any more.
  void Remove();

 private:
  std::string path_;
  std::string read_path_;
  zelcups::ScopedFd read_fd_;
};

#endif
