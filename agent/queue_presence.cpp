// A queue is deleted in one step with its PPD file, which anyone may stat: a single
// system call, where an IPP round trip to the scheduler would widen the window it closes.
#include "queue_presence.h"

#include <sys/stat.h>

#include <string>

#include "zelcups_common.h"

bool QueuePresence_StillExists(const char *queue_name) {
  if (queue_name == nullptr) {
    return false;
  }
  const std::string path =
      std::string(zelcups_common_cups_ppd_directory()) + "/" + queue_name + ".ppd";
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}
