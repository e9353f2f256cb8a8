// The snapshot file: one line per queue, its PPD file's time at full resolution and its
// name, between a header that states the count and a closing line, so that a file cut
// short or written by someone else does not pass for a baseline:
//
//   zelcups-agent snapshot 1 COUNT
//   SECONDS NANOSECONDS NAME     (bytes up to the space, DEL and "%" escaped as %XX)
//   end
#include "snapshot_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "snapshot_file_testing.h"
#include "zelcups/file_write.h"
#include "zelcups/holders.h"
#include "zelcups/journal.h"
#include "zelcups/private_folder.h"

namespace {

constexpr char kFileName[] = "zelcups-agent.snapshot";
constexpr std::string_view kHeader = "zelcups-agent snapshot 1 ";
constexpr std::string_view kEnd = "end\n";
// Far beyond any scheduler's number of queues; a bigger file is not ours.
constexpr off_t kMaxFileBytes = 64 << 20;
constexpr long kNanosecondsPerSecond = 1000000000L;

std::string g_path_for_testing;

bool NeedsEscape(unsigned char c) {
  return c <= ' ' || c == 0x7f || c == '%';
}

std::string EntryLine(const QueueList *list, int32_t index) {
  const char *name = zelcups_common_cups_queuelist_get_queue_name(list, index);
  if (name == nullptr || name[0] == '\0') {
    return {};
  }
  const struct timespec time = zelcups_common_cups_queuelist_get_queue_modify_time(list, index);
  return std::to_string(static_cast<long long>(time.tv_sec)) + " " + std::to_string(time.tv_nsec) +
         " " + SnapshotFile_EscapeName(name) + "\n";
}

template <typename T>
bool ParseNumber(std::string_view text, T *value, int base = 10) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::string SnapshotFile_EscapeName(std::string_view name) {
  std::string text;
  text.reserve(name.size());
  for (const unsigned char c : name) {
    if (NeedsEscape(c)) {
      char escaped[3];
      zelcups_common_write_percent_escape(c, escaped);
      text.append(escaped, sizeof(escaped));
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

bool SnapshotFile_ParseName(std::string_view text, std::string *name) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      unsigned char byte = 0;
      if (i + 2 >= text.size() || !ParseNumber(text.substr(i + 1, 2), &byte, 16) || byte == 0) {
        return false;
      }
      *name += static_cast<char>(byte);
      i += 2;
    } else if (NeedsEscape(c) || c == '/') {
      return false;
    } else {
      *name += static_cast<char>(c);
    }
  }
  return !name->empty();
}

namespace {

bool ParseEntry(std::string_view line, QueueEntry *entry) {
  const std::size_t first = line.find(' ');
  const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos) {
    return false;
  }
  long long seconds = 0;
  long nanoseconds = 0;
  std::string name;
  if (!ParseNumber(line.substr(0, first), &seconds) ||
      !ParseNumber(line.substr(first + 1, second - first - 1), &nanoseconds) || nanoseconds < 0 ||
      nanoseconds >= kNanosecondsPerSecond ||
      !SnapshotFile_ParseName(line.substr(second + 1), &name)) {
    return false;
  }
  entry->modify_time = {static_cast<time_t>(seconds), nanoseconds};
  entry->modify_timestamp = static_cast<int32_t>(seconds);
  entry->queue_name = strdup(name.c_str());
  return entry->queue_name != nullptr;
}

QueueList *ParseSnapshot(std::string_view text, int32_t *queue_count) {
  if (!text.starts_with(kHeader) || !text.ends_with(kEnd)) {
    return nullptr;
  }
  text.remove_prefix(kHeader.size());
  std::size_t newline = text.find('\n');
  int32_t count = 0;
  if (!ParseNumber(text.substr(0, newline), &count) || count < 0 ||
      static_cast<std::size_t>(count) > text.size() / 4) {
    return nullptr;
  }
  text.remove_prefix(newline + 1);
  auto *list = static_cast<QueueList *>(calloc(1, sizeof(QueueList)));
  if (list == nullptr) {
    return nullptr;
  }
  if (count > 0) {
    list->entries =
        static_cast<QueueEntry *>(calloc(static_cast<size_t>(count), sizeof(QueueEntry)));
  }
  bool whole = count == 0 || list->entries != nullptr;
  while (whole && list->queue_count < count) {
    newline = text.find('\n');
    whole = newline != std::string_view::npos &&
            ParseEntry(text.substr(0, newline), &list->entries[list->queue_count]);
    if (whole) {
      ++list->queue_count;
      text.remove_prefix(newline + 1);
    }
  }
  if (!whole || text != kEnd) {
    zelcups_common_cups_queuelist_terminate(list);
    return nullptr;
  }
  *queue_count = list->queue_count;
  return list;
}

// Only a file that this user made and no one else could have written counts; anything
// else at the path (a link, a folder, someone else's file) is ignored, and replaced by the
// next save.
bool ReadOwnFile(const std::string &path, std::string *text) {
  zelcups::ScopedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_uid != geteuid() || (status.st_mode & 077) != 0 || status.st_size > kMaxFileBytes) {
    return false;
  }
  text->resize(static_cast<std::size_t>(status.st_size));
  std::size_t done = 0;
  while (done < text->size()) {
    const ssize_t got = read(fd.get(), text->data() + done, text->size() - done);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// A snapshot that cannot be saved (a folder planted at its path, a full disk, no rights)
// leaves the next agent without its baseline: said once, not at every tick, until a save
// succeeds again.
bool g_save_failure_told = false;

bool ReplaceFile(const std::string &text) {
  const std::string path = SnapshotFile_Path();
  if (path.empty()) {
    return false;
  }
  // The session's runtime folder does not outlive the machine's run: no fsync.
  const zelcups::ScopedFd fd(zelcups::ReplaceFile(path, text, {.mode = 0600}));
  if (fd.get() < 0 && !g_save_failure_told) {
    fprintf(stderr,
            "%szelcups-agent: cannot save the snapshot as %s (%s); an agent started again in "
            "this session will not know which queues this one handled\n",
            Journal_Prefix(kJournalWarning), path.c_str(), strerror(errno));
  }
  g_save_failure_told = fd.get() < 0;
  return fd.get() >= 0;
}

std::string FileText(const std::vector<const std::string *> &lines) {
  std::size_t size = kHeader.size() + 16 + kEnd.size();
  int32_t count = 0;
  for (const std::string *line : lines) {
    size += line->size();
    count += line->empty() ? 0 : 1;
  }
  std::string text;
  text.reserve(size);
  text.append(kHeader).append(std::to_string(count)).append("\n");
  for (const std::string *line : lines) {
    text.append(*line);
  }
  text.append(kEnd);
  return text;
}

}  // namespace

void SnapshotFile_SetPathForTesting(const char *path) {
  g_path_for_testing = path != nullptr ? path : "";
}

std::string SnapshotFile_Path(void) {
  if (!g_path_for_testing.empty()) {
    return g_path_for_testing;
  }
  const char *folder = PrivateFolder_Path();
  if (folder == nullptr || !PrivateFolder_OutlivesProcess()) {
    return {};
  }
  return std::string(folder) + "/" + kFileName;
}

QueueList *SnapshotFile_Read(int32_t *queue_count) {
  std::string text;
  const std::string path = SnapshotFile_Path();
  if (queue_count == nullptr || path.empty() || !ReadOwnFile(path, &text)) {
    return nullptr;
  }
  return ParseSnapshot(text, queue_count);
}

bool SnapshotFile_Save(const QueueList *list, int32_t count) {
  return SnapshotFile_SaveProgress(SnapshotFile_StartProgress(nullptr, 0, list, count, {}), count);
}

SnapshotProgress SnapshotFile_StartProgress(const QueueList *old_list, int32_t old_count,
                                            const QueueList *snapshot, int32_t count,
                                            const std::vector<int32_t> &to_handle) {
  SnapshotProgress progress;
  progress.now.reserve(static_cast<std::size_t>(std::max(count, 0)));
  for (int32_t index = 0; index < count; ++index) {
    progress.now.push_back(EntryLine(snapshot, index));
  }
  progress.not_yet = progress.now;
  if (to_handle.empty()) {
    return progress;
  }
  // The first old entry of a name is the one the comparison went by.
  std::unordered_map<std::string_view, int32_t> old_entry;
  for (int32_t old = 0; old < old_count; ++old) {
    if (const char *name = zelcups_common_cups_queuelist_get_queue_name(old_list, old)) {
      old_entry.try_emplace(name, old);
    }
  }
  for (int32_t index : to_handle) {
    if (index < 0 || index >= count) {
      continue;
    }
    const char *name = zelcups_common_cups_queuelist_get_queue_name(snapshot, index);
    const auto found = name != nullptr ? old_entry.find(name) : old_entry.end();
    progress.not_yet[static_cast<std::size_t>(index)] =
        found == old_entry.end() ? std::string() : EntryLine(old_list, found->second);
  }
  return progress;
}

bool SnapshotFile_SaveProgress(const SnapshotProgress &progress, int32_t handled_through) {
  if (SnapshotFile_Path().empty()) {
    return false;
  }
  std::vector<const std::string *> lines;
  lines.reserve(progress.now.size());
  for (std::size_t index = 0; index < progress.now.size(); ++index) {
    lines.push_back(static_cast<int64_t>(index) <= handled_through ? &progress.now[index]
                                                                   : &progress.not_yet[index]);
  }
  return ReplaceFile(FileText(lines));
}
