// Standard error is the journal only when it is the very stream the user manager opened
// for it: a JOURNAL_STREAM inherited by a program whose standard error was redirected
// (to a terminal, a file) names another stream, and "<4>" there would be noise.
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "zelcups/journal.h"

namespace {

bool StandardErrorIsJournal() {
  const char *stream = std::getenv("JOURNAL_STREAM");
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
  char end = '\0';
  if (stream == nullptr ||
      std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &end) != 2) {
    return false;
  }
  struct stat status {};
  return fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

}  // namespace

const char *Journal_Prefix(int level) {
  static constexpr const char *kPrefixes[] = {"<0>", "<1>", "<2>", "<3>",
                                              "<4>", "<5>", "<6>", "<7>"};
  static const bool kJournal = StandardErrorIsJournal();
  return kJournal && level >= 0 && level < 8 ? kPrefixes[level] : "";
}
