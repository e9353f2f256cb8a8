// A queue's PPD fetched from the local scheduler, for a user who may administer printers
// but may not read the scheduler's own copies (root:lp, mode 0640, on Debian).
#ifndef ZELCUPS_AGENT_PPD_COPY_H
#define ZELCUPS_AGENT_PPD_COPY_H

#include <string>

// A private file (mode 0600) in $XDG_RUNTIME_DIR, or else the temporary folder; removed
// when the holder goes, on every path out of the queue's handling.
class ScopedPPDCopy {
 public:
  ScopedPPDCopy() = default;
  ~ScopedPPDCopy();
  ScopedPPDCopy(const ScopedPPDCopy &) = delete;
  ScopedPPDCopy &operator=(const ScopedPPDCopy &) = delete;

  const std::string &path() const { return path_; }
  // Fetches queue_name's PPD; false (and no file) when the scheduler does not answer or
  // has no PPD for the queue.
  bool Fetch(const char *queue_name);
  // Removes the file now, as soon as nothing needs it any more.
  void Remove();

 private:
  std::string path_;
};

#endif
