// lpadmin is given its arguments one by one, never through a shell: the queue name and
// the URI come from users and from the network.
#include "lpadmin.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

#include "zelcups/holders.h"
#include "zelcups/pending_posts.h"
#include "zelcups/quit_request.h"
#include "zelcups/time_limits.h"

extern char **environ;

namespace {

constexpr char kProgramName[] = "lpadmin";
constexpr std::string_view kSbinFolders[] = {"/usr/local/sbin", "/usr/sbin", "/sbin"};
// The scheduler's answer is a line or two; a flood is cut here.
constexpr std::size_t kMaxMessageBytes = 1024;

// lpadmin starts as from a shell: the agent's own dispositions and mask are not its to
// inherit (GIO ignores SIGPIPE for the whole process, the agent blocks its quit signals).
class ScopedSpawnAttributes {
 public:
  ScopedSpawnAttributes() {
    valid_ = posix_spawnattr_init(&attributes_) == 0;
    sigset_t all, none;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    sigemptyset(&none);
    valid_ = valid_ &&
             posix_spawnattr_setflags(&attributes_,
                                      POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0 &&
             posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
             posix_spawnattr_setsigmask(&attributes_, &none) == 0;
  }
  ~ScopedSpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  ScopedSpawnAttributes(const ScopedSpawnAttributes &) = delete;
  ScopedSpawnAttributes &operator=(const ScopedSpawnAttributes &) = delete;
  bool valid() const { return valid_; }
  const posix_spawnattr_t *get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool valid_ = false;
};

class ScopedFileActions {
 public:
  ScopedFileActions() { valid_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~ScopedFileActions() {
    if (valid_) {
      posix_spawn_file_actions_destroy(&actions_);
    }
  }
  ScopedFileActions(const ScopedFileActions &) = delete;
  ScopedFileActions &operator=(const ScopedFileActions &) = delete;
  bool valid() const { return valid_; }
  posix_spawn_file_actions_t *get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool valid_ = false;
};

long NowMilliseconds() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

bool IsExecutableFile(const std::string &path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

// A relative folder on PATH would make the choice depend on the folder the agent runs in.
std::string FindInFolder(std::string_view folder) {
  if (folder.empty() || folder.front() != '/') {
    return {};
  }
  std::string path(folder);
  path.append("/").append(kProgramName);
  return IsExecutableFile(path) ? path : std::string();
}

void AppendMessage(std::string *message, const char *bytes, std::size_t length) {
  const std::size_t room = kMaxMessageBytes - std::min(message->size(), kMaxMessageBytes);
  message->append(bytes, std::min(length, room));
}

// Reads what is there without waiting; false once the pipe has no writer left.
bool DrainPipe(int fd, std::string *message) {
  char buffer[512];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got > 0) {
      AppendMessage(message, buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    return got < 0 && errno == EAGAIN;
  }
}

// Its last line: lpadmin says what went wrong last, after any notes of its own (with a
// PPD given: "Printer drivers are deprecated ..."). Blanks around it are dropped.
std::string LastLine(const std::string &text) {
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t newline = rest.find_last_of('\n', rest.size() - 1);
    std::string_view line = newline == std::string_view::npos ? rest : rest.substr(newline + 1);
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first != std::string_view::npos) {
      return std::string(line.substr(first, line.find_last_not_of(" \t\r") - first + 1));
    }
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(0, newline);
  }
  return {};
}

bool Reaped(pid_t pid, int *status, int options) {
  while (true) {
    const pid_t done = waitpid(pid, status, options);
    if (done == pid) {
      return true;
    }
    if (done < 0 && errno == EINTR) {
      continue;
    }
    return false;
  }
}

// Waits up to milliseconds for the child behind pidfd to end.
bool EndsWithin(int pidfd, int milliseconds) {
  struct pollfd ended = {pidfd, POLLIN, 0};
  return poll(&ended, 1, milliseconds) > 0;
}

// Ends a child that outstayed the quit request: first asked, then forced.
void EndChild(pid_t pid, int pidfd, int *status) {
  kill(pid, SIGTERM);
  if (!EndsWithin(pidfd, static_cast<int>(zelcups::kLpadminTermGrace.count()))) {
    kill(pid, SIGKILL);
  }
  Reaped(pid, status, 0);
}

}  // namespace

std::string Lpadmin_FindIn(const char *path_variable,
                           const std::vector<std::string_view> &fallback_folders) {
  std::string_view rest = path_variable != nullptr ? path_variable : "";
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    std::string found = FindInFolder(rest.substr(0, colon));
    if (!found.empty()) {
      return found;
    }
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  for (std::string_view folder : fallback_folders) {
    std::string found = FindInFolder(folder);
    if (!found.empty()) {
      return found;
    }
  }
  return {};
}

std::string Lpadmin_Find(const char *path_variable) {
  return Lpadmin_FindIn(path_variable, {std::begin(kSbinFolders), std::end(kSbinFolders)});
}

LpadminResult Lpadmin_RunProgram(const std::string &program,
                                 const std::vector<std::string> &arguments) {
  LpadminResult result;
  if (program.empty()) {
    return result;
  }
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(kProgramName));
  for (const std::string &argument : arguments) {
    argv.push_back(const_cast<char *>(argument.c_str()));
  }
  argv.push_back(nullptr);

  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
    result.message = strerror(errno);
    return result;
  }
  zelcups::ScopedFd read_end(pipe_ends[0]);
  zelcups::ScopedFd write_end(pipe_ends[1]);
  ScopedFileActions actions;
  ScopedSpawnAttributes attributes;
  // Its output would only fill the session's journal with the scheduler's notes (on every
  // queue: "Printer drivers are deprecated"); what went wrong is on standard error.
  if (!actions.valid() || !attributes.valid() ||
      posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0) !=
          0 ||
      posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDERR_FILENO) != 0) {
    result.message = "no memory";
    return result;
  }
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  write_end.reset();
  if (spawned != 0) {
    result.message = strerror(spawned);
    return result;
  }
  result.started = true;
  fcntl(read_end.get(), F_SETFL, O_NONBLOCK);
  // The child is ours and not yet reaped, so its pid cannot name another process here.
  // A kernel without pidfds (older than Debian 12's) leaves the pipe's end as the sign.
  zelcups::ScopedFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));

  // One wait for all three: lpadmin's end, its standard error, and a quit request, after
  // which it has the grace to finish.
  int status = 0;
  long quit_deadline = -1;
  bool pipe_open = true;
  while (!Reaped(pid, &status, WNOHANG)) {
    struct pollfd ready[] = {{pidfd.get(), POLLIN, 0},
                             {QuitRequest_Descriptor(), POLLIN, 0},
                             {pipe_open ? read_end.get() : -1, POLLIN, 0},
                             {PendingPosts_Descriptor(), POLLIN, 0}};
    int timeout = -1;
    if (quit_deadline >= 0) {
      const long left = quit_deadline - NowMilliseconds();
      if (left <= 0) {
        EndChild(pid, pidfd.get(), &status);
        result.cut_short = true;
        break;
      }
      timeout = static_cast<int>(left);
      ready[1].fd = -1;  // seen; it stays readable
    }
    if (poll(ready, std::size(ready), timeout) < 0 && errno != EINTR) {
      Reaped(pid, &status, 0);  // cannot watch it: waited for as it is
      break;
    }
    if (quit_deadline < 0 && (ready[1].revents & POLLIN) != 0) {
      quit_deadline = NowMilliseconds() + zelcups::kLpadminQuitGrace.count();
    }
    if (pipe_open && ready[2].revents != 0) {
      pipe_open = DrainPipe(read_end.get(), &result.message);
    }
    if (ready[3].revents != 0) {
      PendingPosts_Deliver();
    }
    if (!pipe_open && pidfd.get() < 0) {
      Reaped(pid, &status, 0);
      break;
    }
  }
  // Whatever it wrote before it ended; a child of its own holding the pipe is not waited for.
  if (pipe_open) {
    DrainPipe(read_end.get(), &result.message);
  }
  result.message = LastLine(result.message);
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal_number = WTERMSIG(status);
  }
  return result;
}

LpadminResult Lpadmin_Run(const std::vector<std::string> &arguments) {
  return Lpadmin_RunProgram(Lpadmin_Find(std::getenv("PATH")), arguments);
}

std::string Lpadmin_FailureReason(const LpadminResult &result) {
  if (!result.started) {
    return result.message.empty()
               ? "lpadmin not found on PATH nor in /usr/local/sbin, /usr/sbin, /sbin"
               : "lpadmin could not be started: " + result.message;
  }
  if (result.cut_short) {
    return "lpadmin ended early, as the agent was asked to quit";
  }
  std::string reason;
  if (result.signal_number != 0) {
    reason = "lpadmin failed (signal " + std::to_string(result.signal_number) + ")";
  } else if (result.exit_status != 0) {
    reason = "lpadmin failed (status " + std::to_string(result.exit_status) + ")";
  } else {
    return {};
  }
  return result.message.empty() ? reason : reason + ": " + result.message;
}
