// Snapshot of the CUPS PPD directory: one queue per "*.ppd" entry, with the entry's
// modification time.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "queue_list_testing.h"
#include "zelcups_common.h"

namespace {

constexpr std::string_view kPPDSuffix = ".ppd";

const char *g_ppd_directory = ZELCUPS_COMMON_PPD_DIRECTORY;

// Owns what scandir hands out: every entry and the array.
class ScanResult {
 public:
  explicit ScanResult(const char *directory) {
    count_ = scandir(directory, &entries_, nullptr, nullptr);
  }
  ~ScanResult() {
    if (entries_ == nullptr) {
      return;
    }
    for (int i = 0; i < count_; ++i) {
      free(entries_[i]);
    }
    free(entries_);
  }
  ScanResult(const ScanResult &) = delete;
  ScanResult &operator=(const ScanResult &) = delete;

  bool empty() const { return count_ <= 0 || entries_ == nullptr; }
  int count() const { return count_; }
  const char *name(int i) const { return entries_[i]->d_name; }

 private:
  dirent **entries_ = nullptr;
  int count_ = -1;
};

bool IsQueueFileName(std::string_view name) {
  return name.size() > kPPDSuffix.size() && name.ends_with(kPPDSuffix);
}

QueueList *ScanDirectory(const char *directory, int32_t *queue_count) {
  if (queue_count != nullptr) {
    *queue_count = 0;
  }
  auto *list = static_cast<QueueList *>(calloc(1, sizeof(QueueList)));
  if (list == nullptr) {
    return nullptr;
  }
  ScanResult scan(directory);
  if (scan.empty()) {
    return list;  // a missing, unreadable or empty directory is an empty list
  }
  list->entries =
      static_cast<QueueEntry *>(calloc(static_cast<size_t>(scan.count()), sizeof(QueueEntry)));
  if (list->entries == nullptr) {
    free(list);
    return nullptr;
  }
  for (int i = 0; i < scan.count(); ++i) {
    std::string_view name(scan.name(i));
    if (!IsQueueFileName(name)) {
      continue;
    }
    std::string path = std::string(directory) + "/" + std::string(name);
    struct stat status {};
    // A file that vanished since the scan stays listed, with time 0.
    stat(path.c_str(), &status);
    QueueEntry &entry = list->entries[list->queue_count];
    entry.modify_timestamp = static_cast<int32_t>(status.st_mtim.tv_sec);
    entry.modify_time = status.st_mtim;
    std::string_view queue = name.substr(0, name.size() - kPPDSuffix.size());
    entry.queue_name = strndup(queue.data(), queue.size());
    if (entry.queue_name == nullptr) {
      zelcups_common_cups_queuelist_terminate(list);
      return nullptr;
    }
    ++list->queue_count;
  }
  if (queue_count != nullptr) {
    *queue_count = list->queue_count;
  }
  return list;
}

bool InList(const QueueList *list, int32_t index) {
  return list != nullptr && index >= 0 && index < list->queue_count;
}

}  // namespace

QueueList *zelcups_common_cups_queuelist_initialize(int32_t *queue_count) {
  return ScanDirectory(g_ppd_directory, queue_count);
}

const char *zelcups_common_cups_ppd_directory(void) {
  return g_ppd_directory;
}

void zelcups_common_cups_queuelist_set_directory_for_testing(const char *directory) {
  g_ppd_directory = directory != nullptr ? directory : ZELCUPS_COMMON_PPD_DIRECTORY;
}

void zelcups_common_cups_queuelist_terminate(QueueList *list) {
  if (list == nullptr) {
    return;
  }
  if (list->entries != nullptr) {
    for (int32_t i = 0; i < list->queue_count; ++i) {
      free(list->entries[i].queue_name);
      list->entries[i].queue_name = nullptr;
    }
    free(list->entries);
    list->entries = nullptr;
  }
  free(list);
}

const char *zelcups_common_cups_queuelist_get_queue_name(const QueueList *list, int32_t index) {
  return InList(list, index) ? list->entries[index].queue_name : nullptr;
}

int32_t zelcups_common_cups_queuelist_get_queue_modify_timestamp(const QueueList *list,
                                                                 int32_t index) {
  return InList(list, index) ? list->entries[index].modify_timestamp : 0;
}

struct timespec zelcups_common_cups_queuelist_get_queue_modify_time(const QueueList *list,
                                                                    int32_t index) {
  return InList(list, index) ? list->entries[index].modify_time : timespec{};
}
