// The machine's record of handled queues: a log that every agent of the machine appends
// to under the folder's lock, one line per change, so that saving one queue costs one
// short write however many queues a tick handles. It is rewritten whole (beside it, then
// renamed over it) only when it has grown to several times what it holds:
//
//   zelcups-agent record 1
//   B SECONDS NANOSECONDS - NAME       settled at that PPD time
//   C SECONDS NANOSECONDS AGENT NAME   claimed by that agent, its handling begun
//   L SECONDS NANOSECONDS WHEN:HASH NAME   left at WHEN for a cause that may pass
//   R 0 0 - NAME                       the claim given back unhandled
//
// Names are escaped as in the session's snapshot. Each agent holds a lock on a file of its
// own in the folder (AGENT is its name) for as long as it lives, so a claim whose agent
// died shows as a file nobody holds, whoever's the agent was and however it ended.
#include "zelcups/journal.h"
#include "machine_record.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "admin_rights.h"
#include "backend_uri.h"
#include "machine_record_testing.h"
#include "snapshot_compare.h"
#include "snapshot_file.h"
#include "zelcups/file_write.h"
#include "zelcups/holders.h"
#include "zelcups/quit_request.h"
#include "zelcups/time_limits.h"

namespace {

constexpr char kFolder[] = "/var/lib/zelcups-agent";
// Set by end-to-end tests, which cannot make the package's folder in their sandbox.
constexpr char kFolderForTesting[] = "ZELCUPS_TESTING_MACHINE_FOLDER";
constexpr std::string_view kHeader = "zelcups-agent record 1\n";
constexpr char kRecordName[] = "record";
constexpr char kLockName[] = "lock";
constexpr char kAgentPrefix[] = "agent.";
// Far beyond any scheduler's number of queues; a bigger file is not ours.
constexpr off_t kMaxFileBytes = 64 << 20;
constexpr long kNanosecondsPerSecond = 1000000000L;
// A queue whose handling ended two agents is not given to a third: a plug-in that kills
// the agent would otherwise kill every agent of the machine in turn, for ever.
constexpr int kMostAttempts = 2;
// Lines beyond what the record holds before it is rewritten whole.
constexpr std::size_t kSpareLines = 1024;

struct LockWait;

enum class State : char { kSettled = 'B', kClaimed = 'C', kLeft = 'L', kOpen = 'R' };

struct Entry {
  struct timespec time {};
  State state = State::kOpen;
  int attempts = 0;
  std::string agent;   // the claimer
  time_t left_at = 0;  // when a failure left it
  uint32_t reason = 0;
};

struct Record {
  bool in_use = false;
  std::string folder;
  gid_t group = 0;
  zelcups::ScopedFd lock;
  zelcups::ScopedFd waited_lock;        // the folder's lock when it had to be waited for
  std::shared_ptr<LockWait> lock_wait;  // one given up whose flock has not returned yet
  zelcups::ScopedFd file;               // the record as last read, for appending
  off_t read_to = 0;                    // bytes of it taken into entries
  std::size_t lines = 0;
  std::unordered_map<std::string, Entry> entries;
  zelcups::ScopedFd own;  // this agent's file, locked for as long as it lives
  std::string own_name;
  bool held = false;                // the lock kept from a settled queue for the next claim
  bool look_again = false;          // a look at the record failed: the next tick looks again
  bool write_failure_told = false;  // said once; quiet until a write succeeds
  time_t backend_since = 0;         // when the backend was first seen, 0 while missing
  bool backend_checked = false;
};

Record g_record;

void ResetRecord() {
  g_record.in_use = false;
  g_record.folder.clear();
  g_record.lock.reset();
  g_record.waited_lock.reset();
  g_record.lock_wait.reset();
  g_record.file.reset();
  g_record.read_to = 0;
  g_record.lines = 0;
  g_record.entries.clear();
  g_record.own.reset();
  g_record.own_name.clear();
  g_record.held = false;
  g_record.look_again = false;
  g_record.write_failure_told = false;
  g_record.backend_since = 0;
  g_record.backend_checked = false;
}
std::string g_folder_for_testing;
time_t g_now_for_testing = 0;

time_t Now() {
  return g_now_for_testing != 0 ? g_now_for_testing : time(nullptr);
}

std::string FolderPath() {
  if (!g_folder_for_testing.empty()) {
    return g_folder_for_testing;
  }
  const char *testing = std::getenv(kFolderForTesting);
  return testing != nullptr && testing[0] != '\0' ? testing : kFolder;
}

std::string PathOf(const char *name) {
  return g_record.folder + "/" + name;
}

template <typename T>
bool ParseNumber(std::string_view text, T *value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// One line, made in place: a tick of thousands of queues makes two of them per queue.
std::string Line(State state, const struct timespec &time, std::string_view extra,
                 std::string_view name) {
  char numbers[48];
  const int length = snprintf(numbers, sizeof(numbers), "%c %lld %ld ", static_cast<char>(state),
                              static_cast<long long>(time.tv_sec), time.tv_nsec);
  std::string line;
  line.reserve(static_cast<std::size_t>(length) + extra.size() + name.size() * 3 + 2);
  line.append(numbers, static_cast<std::size_t>(length)).append(extra).append(" ");
  line.append(SnapshotFile_EscapeName(name)).append("\n");
  return line;
}

bool AgentAlive(const std::string &agent) {
  if (agent == g_record.own_name) {
    return true;
  }
  if (agent.find('/') != std::string::npos || !agent.starts_with(kAgentPrefix)) {
    return false;
  }
  zelcups::ScopedFd fd(open(PathOf(agent.c_str()).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    // Only a file that is not there says for sure that its agent is gone; taking over the
    // claim of one that lives would handle its queue twice.
    return errno != ENOENT;
  }
  if (flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK;
  }
  // Its agent is gone: the file goes too, so that the folder does not fill with them.
  unlink(PathOf(agent.c_str()).c_str());
  return false;
}

bool BackendCameSince(time_t when) {
  // The same second counts: a retry too many costs one quiet try, one too few a queue.
  return g_record.backend_since != 0 && g_record.backend_since >= when;
}

// Whether this queue, at this PPD time, is still to be handled by someone: not while
// another agent handles it, nor while a failure waits for its retry.
bool ToHandle(const Entry *entry, const struct timespec &time) {
  if (entry == nullptr) {
    return true;
  }
  if (entry->state == State::kClaimed && AgentAlive(entry->agent)) {
    return false;
  }
  if (!SnapshotCompare_SameTime(entry->time, time)) {
    return true;
  }
  switch (entry->state) {
    case State::kSettled:
      return false;
    case State::kLeft:
      return Now() >= entry->left_at + zelcups::kLeftQueueRetry.count() ||
             BackendCameSince(entry->left_at);
    default:
      return true;
  }
}

// A failure's line carries when it came and what it was, "WHEN:HASH".
bool ParseFailure(std::string_view extra, time_t *left_at, uint32_t *reason) {
  const std::size_t colon = extra.find(':');
  return colon != std::string_view::npos && ParseNumber(extra.substr(0, colon), left_at) &&
         ParseNumber(extra.substr(colon + 1), reason);
}

void Apply(State state, const struct timespec &time, std::string_view extra,
           const std::string &name) {
  Entry &entry = g_record.entries[name];
  const bool same_claim =
      entry.state == State::kClaimed && SnapshotCompare_SameTime(entry.time, time);
  if (state == State::kOpen) {
    entry.state = State::kOpen;
    entry.attempts = std::max(0, entry.attempts - 1);
    return;
  }
  entry.time = time;
  entry.state = state;
  entry.agent.clear();
  if (state == State::kClaimed) {
    entry.attempts = same_claim ? entry.attempts + 1 : 1;
    entry.agent = extra;
  } else if (state == State::kLeft) {
    ParseFailure(extra, &entry.left_at, &entry.reason);
    entry.attempts = 0;
  } else {
    entry.attempts = 0;
  }
}

bool ParseLine(std::string_view line) {
  std::string_view field[5];
  for (int i = 0; i < 4; ++i) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) {
      return false;
    }
    field[i] = line.substr(0, space);
    line.remove_prefix(space + 1);
  }
  field[4] = line;
  long long seconds = 0;
  long nanoseconds = 0;
  std::string name;
  const bool parsed = field[0].size() == 1 &&
                      std::string_view("BCLR").find(field[0][0]) != std::string_view::npos &&
                      ParseNumber(field[1], &seconds) && ParseNumber(field[2], &nanoseconds) &&
                      nanoseconds >= 0 && nanoseconds < kNanosecondsPerSecond &&
                      !field[3].empty() && SnapshotFile_ParseName(field[4], &name);
  time_t left_at = 0;
  uint32_t reason = 0;
  if (parsed && field[0][0] == static_cast<char>(State::kLeft) &&
      !ParseFailure(field[3], &left_at, &reason)) {
    return false;
  }
  if (parsed) {
    Apply(static_cast<State>(field[0][0]), {static_cast<time_t>(seconds), nanoseconds}, field[3],
          name);
  }
  return parsed;
}

// A record that cannot be written (a full disk, a folder planted at its path, rights
// taken away) is said once, not at every queue, until a write succeeds again.
bool Written(bool written) {
  if (!written && !g_record.write_failure_told) {
    fprintf(stderr,
            "%szelcups-agent: cannot write the machine record %s (%s); its queues wait until "
            "it can be written\n",
            Journal_Prefix(kJournalWarning), PathOf(kRecordName).c_str(), strerror(errno));
  }
  g_record.write_failure_told = !written;
  return written;
}

// Written beside the record and renamed over it, so that a reader finds the old record or
// the new one, never a part; every agent reads it again when it sees another file there.
bool Rewrite() {
  std::string text(kHeader);
  const std::string ppd_directory = zelcups_common_cups_ppd_directory();
  for (auto it = g_record.entries.begin(); it != g_record.entries.end();) {
    const auto &[name, entry] = *it;
    // A queue whose PPD is gone was deleted: nobody will ask for it again. A claim stays
    // until its agent settles it.
    struct stat status {};
    if (entry.state != State::kClaimed &&
        stat((ppd_directory + "/" + name + ".ppd").c_str(), &status) != 0 && errno == ENOENT) {
      it = g_record.entries.erase(it);
      continue;
    }
    if (entry.state == State::kLeft) {
      text += Line(State::kLeft, entry.time,
                   std::to_string(static_cast<long long>(entry.left_at)) + ":" +
                       std::to_string(entry.reason),
                   name);
    } else if (entry.state == State::kClaimed) {
      for (int i = 0; i < entry.attempts; ++i) {
        text += Line(State::kClaimed, entry.time, entry.agent, name);
      }
    } else {
      text += Line(State::kSettled, entry.time, "-", name);
      if (entry.state == State::kOpen) {
        text += Line(State::kOpen, {}, "-", name);
      }
    }
    ++it;
  }
  // Every agent of the group writes it, whatever its user's umask; it outlives a restart
  // of the machine, so it is on the disk before it takes the old one's place.
  zelcups::ScopedFd fd(zelcups::ReplaceFile(
      PathOf(kRecordName), text, {.mode = 0660, .group = g_record.group, .durable = true}));
  if (!Written(fd.get() >= 0 && fcntl(fd.get(), F_SETFL, O_APPEND) == 0)) {
    return false;
  }
  g_record.file.reset(fd.release());
  g_record.read_to = static_cast<off_t>(text.size());
  g_record.lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) - 1;
  return true;
}

enum class Read { kRead, kMissing, kUnusable };

// Takes the lines of fd from byte `from` to byte `to` into the entries.
bool ReadLines(int fd, off_t from, off_t to) {
  std::string text(static_cast<std::size_t>(to - from), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t got =
        pread(fd, text.data() + done, text.size() - done, from + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  std::string_view rest(text);
  if (from == 0) {
    if (!rest.starts_with(kHeader)) {
      return false;
    }
    rest.remove_prefix(kHeader.size());
  }
  while (!rest.empty()) {
    const std::size_t newline = rest.find('\n');
    if (newline == std::string_view::npos) {
      return false;
    }
    if (!ParseLine(rest.substr(0, newline))) {
      return false;
    }
    ++g_record.lines;
    rest.remove_prefix(newline + 1);
  }
  return true;
}

// Takes what was added to the record since the last look, or all of it when it is another
// file now. Only a regular file of the folder's group, closed to others, of a sane size
// and read back whole line by line counts.
Read Refresh() {
  // The record this agent has open, unless another took its place (a rename over it, or
  // its removal, leaves it without a name): one status call when nothing changed, which
  // keeps a tick of thousands of queues from paying for the path.
  if (g_record.file.get() >= 0) {
    struct stat status {};
    if (fstat(g_record.file.get(), &status) == 0 && status.st_nlink > 0 &&
        status.st_size >= g_record.read_to && status.st_size <= kMaxFileBytes &&
        ReadLines(g_record.file.get(), g_record.read_to, status.st_size)) {
      g_record.read_to = status.st_size;
      return Read::kRead;
    }
    g_record.file.reset();
  }
  const std::string path = PathOf(kRecordName);
  zelcups::ScopedFd fd(open(path.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0 && errno == ENOENT) {
    return Read::kMissing;
  }
  struct stat status {};
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_gid != g_record.group || (status.st_mode & 07) != 0 ||
      status.st_size > kMaxFileBytes) {
    return Read::kUnusable;
  }
  // What this agent knew stays when the file does not read back, to take its place.
  std::unordered_map<std::string, Entry> known;
  known.swap(g_record.entries);
  g_record.lines = 0;
  if (!ReadLines(fd.get(), 0, status.st_size)) {
    g_record.entries.swap(known);
    return Read::kUnusable;
  }
  g_record.file.reset(fd.release());
  g_record.read_to = status.st_size;
  return Read::kRead;
}

// The folder's lock taken with a blocking call on a thread of its own, through an open file
// of its own, so that the wait watches the quit descriptor and a deadline beside it and
// polls nothing. A wait given up goes on in its thread, which lets the lock go as soon as
// it has it; the next wait takes it up rather than start another, so that an agent that
// holds the lock for hours costs one thread. The descriptor that holds the lock, or -1.
struct LockWait {
  std::mutex mutex;
  zelcups::ScopedFd lock;
  zelcups::ScopedFd done;  // readable once the thread's flock has returned
  bool given_up = false;
  bool finished = false;
  bool acquired = false;
};

std::shared_ptr<LockWait> StartLockWait() {
  auto wait = std::make_shared<LockWait>();
  wait->lock.reset(
      open(("/proc/self/fd/" + std::to_string(g_record.lock.get())).c_str(), O_RDONLY | O_CLOEXEC));
  wait->done.reset(eventfd(0, EFD_CLOEXEC));
  if (wait->lock.get() < 0 || wait->done.get() < 0) {
    return nullptr;
  }
  std::thread([wait] {
    int locked = 0;
    while ((locked = flock(wait->lock.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    const std::lock_guard guard(wait->mutex);
    wait->finished = true;
    wait->acquired = locked == 0;
    if (wait->given_up) {
      wait->lock.reset();
      return;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t told = write(wait->done.get(), &one, sizeof one);
  }).detach();
  return wait;
}

int WaitForFolderLock(bool patient) {
  // Asked before the thread starts: the thread inherits the quit signals blocked.
  const int quit = QuitRequest_Descriptor();
  std::shared_ptr<LockWait> wait = std::exchange(g_record.lock_wait, nullptr);
  if (wait != nullptr) {
    const std::lock_guard guard(wait->mutex);
    wait->given_up = wait->finished;  // one that let the lock go is of no use
  }
  if (wait == nullptr || wait->given_up) {
    wait = StartLockWait();
  }
  if (wait == nullptr) {
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + zelcups::kRecordLockPatience;
  pollfd watched[] = {{wait->done.get(), POLLIN, 0}, {quit, POLLIN, 0}};
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int ready = poll(watched, watched[1].fd >= 0 ? 2 : 1,
                           patient ? -1 : static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready >= 0 || errno != EINTR) {
      break;
    }
  }
  const std::lock_guard guard(wait->mutex);
  if (wait->acquired) {
    return wait->lock.release();
  }
  wait->given_up = true;
  if (!wait->finished) {
    g_record.lock_wait = wait;
  }
  return -1;
}

void ReleaseFolderLock() {
  if (g_record.waited_lock.get() >= 0) {
    g_record.waited_lock.reset();
  } else {
    flock(g_record.lock.get(), LOCK_UN);
  }
}

// The folder's lock, held while the record is read and changed; never while a queue is
// handled, so that an alert waiting in one session holds up no other. A settled queue may
// keep it for the claim of the next one, which then needs no look at the record: no one
// else wrote meanwhile. That halves what a tick of thousands of queues pays for them.
// A change already made to a queue (patient) waits as long as it takes; anything else
// gives up after a while, and the next tick looks again. A quit request ends any wait.
class FolderLock {
 public:
  explicit FolderLock(bool patient = false) : up_to_date_(g_record.held) {
    acquired_ = g_record.held || flock(g_record.lock.get(), LOCK_EX | LOCK_NB) == 0;
    g_record.held = false;
    if (!acquired_ && errno == EWOULDBLOCK && !QuitRequest_Received()) {
      g_record.waited_lock.reset(WaitForFolderLock(patient));
      acquired_ = g_record.waited_lock.get() >= 0;
    }
    if (!acquired_) {
      g_record.look_again = true;
    }
  }
  ~FolderLock() {
    if (keep_) {
      g_record.held = true;
    } else if (acquired_) {
      ReleaseFolderLock();
    }
  }
  FolderLock(const FolderLock &) = delete;
  FolderLock &operator=(const FolderLock &) = delete;
  bool acquired() const { return acquired_; }
  bool up_to_date() const { return up_to_date_; }
  void Keep() { keep_ = acquired_; }

 private:
  bool acquired_ = false;
  bool up_to_date_;
  bool keep_ = false;
};

// The record as it stands now, replaced (with a line) when it cannot be read: what this
// agent knows is then the best there is. One that cannot be replaced either is said once,
// by the write that failed.
bool RefreshOrReplace() {
  const Read read = Refresh();
  if (read == Read::kRead) {
    return true;
  }
  unlink(PathOf(kRecordName).c_str());
  const bool replaced = Rewrite();
  if (read == Read::kUnusable && replaced) {
    fprintf(stderr,
            "%szelcups-agent: %s was not a record this agent can read (not a regular file of the "
            "folder's group closed to others, or not whole); it was ignored and replaced\n",
            Journal_Prefix(kJournalWarning), PathOf(kRecordName).c_str());
  }
  return replaced;
}

// Writes one change at the end of the record, and takes it into the entries as it goes.
bool Write(State state, const struct timespec &time, std::string_view extra,
           std::string_view name) {
  const std::string line = Line(state, time, extra, name);
  if (!Written(zelcups::WriteAll(g_record.file.get(), line))) {
    return false;
  }
  g_record.read_to += static_cast<off_t>(line.size());
  ++g_record.lines;
  Apply(state, time, extra, std::string(name));
  return true;
}

void Append(State state, const struct timespec &time, std::string_view extra, std::string_view name,
            bool keep_lock = false) {
  if (!g_record.in_use) {
    return;
  }
  FolderLock locked(true);
  if (!locked.acquired() || (!locked.up_to_date() && !RefreshOrReplace())) {
    return;
  }
  Write(state, time, extra, name);
  if (g_record.lines > 2 * g_record.entries.size() + kSpareLines) {
    Rewrite();
  }
  if (keep_lock) {
    locked.Keep();
  }
}

void NoteBackend() {
  struct stat status {};
  const bool present = stat(kBackendProgramPath, &status) == 0;
  if (!present) {
    g_record.backend_since = 0;
  } else if (g_record.backend_since == 0) {
    // Present from the start counts as always there: only an arrival brings retries.
    g_record.backend_since = g_record.backend_checked ? Now() : 1;
  }
  g_record.backend_checked = true;
}

// The files of agents that ended without a claim (killed while idle, a crash at log-out)
// go when the next agent starts, so that the folder does not fill with them over the years.
void SweepEndedAgents() {
  std::error_code error;
  const std::filesystem::directory_iterator end;
  for (std::filesystem::directory_iterator file(g_record.folder, error); !error && file != end;
       file.increment(error)) {
    const std::string name = file->path().filename().string();
    if (name.starts_with(kAgentPrefix)) {
      AgentAlive(name);
    }
  }
}

// This agent's file, made and locked under the folder's lock, where no other agent's
// sweep can take it for the file of one that ended; then the sweep of those.
bool MakeOwnFile() {
  const FolderLock locked(true);
  std::string own = PathOf(kAgentPrefix) + "XXXXXX";
  g_record.own.reset(mkostemp(own.data(), O_CLOEXEC));
  if (g_record.own.get() < 0 || flock(g_record.own.get(), LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (g_record.own.get() >= 0) {
      unlink(own.c_str());
    }
    errno = error;
    return false;
  }
  fchmod(g_record.own.get(), 0640);
  g_record.own_name = own.substr(g_record.folder.size() + 1);
  if (locked.acquired()) {
    SweepEndedAgents();
  }
  return true;
}

// Why the folder cannot be used, or empty when it can.
std::string CheckFolder(const std::string &folder, gid_t *group) {
  struct stat status {};
  if (lstat(folder.c_str(), &status) != 0) {
    return "is missing";
  }
  if (!S_ISDIR(status.st_mode) || (status.st_mode & 07) != 0 ||
      access(folder.c_str(), W_OK | X_OK) != 0) {
    return "is not a folder closed to others that this user may write";
  }
  *group = status.st_gid;
  return {};
}

}  // namespace

void MachineRecord_SetFolderForTesting(const char *path) {
  g_folder_for_testing = path != nullptr ? path : "";
}

void MachineRecord_SetNowForTesting(time_t now) {
  g_now_for_testing = now;
}

bool MachineRecord_Open(void) {
  if (g_record.in_use) {
    return true;
  }
  ResetRecord();
  g_record.folder = FolderPath();
  std::string why = CheckFolder(g_record.folder, &g_record.group);
  if (why.empty()) {
    g_record.lock.reset(
        open(PathOf(kLockName).c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0660));
    // Whoever made it, every agent of the group opens it, whatever the maker's umask.
    fchmod(g_record.lock.get(), 0660);
    if (g_record.lock.get() < 0 || !MakeOwnFile()) {
      why = "cannot be used (" + std::string(strerror(errno)) + ")";
    }
  }
  if (!why.empty()) {
    // For a user who may not administer printers the folder is closed by design, and the
    // start-up line about the rights already says what to act on.
    fprintf(stderr,
            "%szelcups-agent: the machine folder %s %s, so this session keeps its own record "
            "of handled queues and agents of other sessions may handle the same queues\n",
            Journal_Prefix(AdminRights_UserMayAdminister() ? kJournalWarning : kJournalInfo),
            g_record.folder.c_str(), why.c_str());
    ResetRecord();
    return false;
  }
  g_record.in_use = true;
  NoteBackend();
  return true;
}

void MachineRecord_Close(void) {
  MachineRecord_EndPass();
  if (g_record.in_use) {
    unlink(PathOf(g_record.own_name.c_str()).c_str());
  }
  ResetRecord();
}

bool MachineRecord_InUse(void) {
  return g_record.in_use;
}

bool MachineRecord_Start(const QueueList *list, int32_t count) {
  if (!g_record.in_use) {
    return false;
  }
  const FolderLock locked(true);
  const Read read = locked.acquired() ? Refresh() : Read::kUnusable;
  if (read == Read::kRead || !locked.acquired()) {
    return true;
  }
  unlink(PathOf(kRecordName).c_str());
  // The machine's first agent: the queues present now are the baseline.
  g_record.entries.clear();
  for (int32_t index = 0; index < count; ++index) {
    if (const char *name = zelcups_common_cups_queuelist_get_queue_name(list, index)) {
      Entry &entry = g_record.entries[name];
      entry.time = zelcups_common_cups_queuelist_get_queue_modify_time(list, index);
      entry.state = State::kSettled;
    }
  }
  if (Rewrite() && read == Read::kUnusable) {
    fprintf(stderr,
            "%szelcups-agent: %s was not a record this agent can read (not a regular file of the "
            "folder's group closed to others, or not whole); it was ignored and replaced, with "
            "the queues present now as handled\n",
            Journal_Prefix(kJournalWarning), PathOf(kRecordName).c_str());
  }
  return false;
}

std::vector<int32_t> MachineRecord_QueuesToHandle(const QueueList *snapshot, int32_t count) {
  std::vector<int32_t> to_handle;
  if (!g_record.in_use) {
    return to_handle;
  }
  NoteBackend();
  {
    const FolderLock locked;
    if (!locked.acquired() || !RefreshOrReplace()) {
      return to_handle;
    }
    g_record.look_again = false;
  }
  for (int32_t index = 0; index < count; ++index) {
    const char *name = zelcups_common_cups_queuelist_get_queue_name(snapshot, index);
    if (name == nullptr) {
      continue;
    }
    const auto found = g_record.entries.find(name);
    if (ToHandle(found == g_record.entries.end() ? nullptr : &found->second,
                 zelcups_common_cups_queuelist_get_queue_modify_time(snapshot, index))) {
      to_handle.push_back(index);
    }
  }
  return to_handle;
}

bool MachineRecord_SomethingDue(void) {
  if (!g_record.in_use) {
    return false;
  }
  if (g_record.look_again) {
    return true;
  }
  NoteBackend();
  const std::string ppd_directory = zelcups_common_cups_ppd_directory();
  for (const auto &[name, entry] : g_record.entries) {
    // A queue deleted meanwhile would bring a look at every tick until the record is
    // rewritten.
    struct stat status {};
    if ((entry.state == State::kLeft || entry.state == State::kClaimed) &&
        ToHandle(&entry, entry.time) &&
        stat((ppd_directory + "/" + name + ".ppd").c_str(), &status) == 0) {
      return true;
    }
  }
  return false;
}

ClaimResult MachineRecord_Claim(std::string_view name, const struct timespec &ppd_time) {
  ClaimResult result;
  if (!g_record.in_use) {
    result.claim = RecordClaim::kClaimed;
    return result;
  }
  const FolderLock locked;
  if (!locked.acquired() || (!locked.up_to_date() && !RefreshOrReplace())) {
    result.claim = RecordClaim::kNotNow;
    return result;
  }
  const std::string key(name);
  const auto found = g_record.entries.find(key);
  Entry *entry = found == g_record.entries.end() ? nullptr : &found->second;
  if (!ToHandle(entry, ppd_time)) {
    return result;
  }
  bool written = false;
  if (entry != nullptr && entry->state == State::kClaimed &&
      SnapshotCompare_SameTime(entry->time, ppd_time) && entry->attempts >= kMostAttempts) {
    result.claim = RecordClaim::kGivenUp;
    written = Write(State::kSettled, ppd_time, "-", name);
  } else {
    result.claim = RecordClaim::kClaimed;
    if (entry != nullptr && entry->state == State::kLeft &&
        SnapshotCompare_SameTime(entry->time, ppd_time)) {
      result.quiet_reason = entry->reason;
    } else if (entry != nullptr && entry->state == State::kSettled) {
      // Settled, then written again: the scheduler and an administrator's lpadmin (a queue
      // added with -E, -v and -P is several requests) may rewrite a queue's PPD after an
      // agent re-pointed it. Finding it on the backend then is no news.
      result.quiet_reason = MachineRecord_ReasonHash(kAlreadyOnBackendReason);
    }
    written = Write(State::kClaimed, ppd_time, g_record.own_name, name);
  }
  if (!written) {
    result.claim = RecordClaim::kNotNow;
  }
  return result;
}

void MachineRecord_Settle(std::string_view name, const struct timespec &ppd_time) {
  Append(State::kSettled, ppd_time, "-", name, true);
}

void MachineRecord_EndPass(void) {
  if (g_record.held) {
    ReleaseFolderLock();
    g_record.held = false;
  }
}

void MachineRecord_Leave(std::string_view name, const struct timespec &ppd_time, uint32_t reason) {
  Append(State::kLeft, ppd_time,
         std::to_string(static_cast<long long>(Now())) + ":" + std::to_string(reason), name);
}

void MachineRecord_Release(std::string_view name) {
  Append(State::kOpen, {}, "-", name);
}

uint32_t MachineRecord_ReasonHash(std::string_view reason) {
  // FNV-1a: the same in every agent of the machine, whatever its build.
  uint32_t hash = 2166136261u;
  for (const unsigned char c : reason) {
    hash = (hash ^ c) * 16777619u;
  }
  return hash != 0 ? hash : 1;
}

std::string MachineRecord_ReadForLook(bool *record_exists) {
  *record_exists = false;
  if (g_record.in_use) {
    return "is in use by this process";
  }
  ResetRecord();
  g_record.folder = FolderPath();
  if (std::string why = CheckFolder(g_record.folder, &g_record.group); !why.empty()) {
    return g_record.folder + " " + why;
  }
  const std::string path = PathOf(kRecordName);
  zelcups::ScopedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0 && errno == ENOENT) {
    return {};
  }
  struct stat status {};
  // The same file the agents would take; a line being appended meanwhile is read as a
  // record that is not whole, and the next look sees it whole.
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_gid != g_record.group || (status.st_mode & 07) != 0 ||
      status.st_size > kMaxFileBytes || !ReadLines(fd.get(), 0, status.st_size)) {
    g_record.entries.clear();
    return path +
           " is not a record the agent can read (not a regular file of the folder's "
           "group closed to others, or not whole)";
  }
  *record_exists = true;
  return {};
}

RecordedQueue MachineRecord_Recorded(std::string_view name) {
  const auto found = g_record.entries.find(std::string(name));
  if (found == g_record.entries.end()) {
    return {};
  }
  return {static_cast<char>(found->second.state), found->second.time};
}
