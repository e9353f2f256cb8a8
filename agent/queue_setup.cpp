// Handling of one new or changed queue: the family check, the device-URI lookup, the
// re-registration under the backend URI, and the plug-in step.
#include "queue_setup.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Info.h"
#include "backend_uri.h"
#include "ppd_copy.h"
#include "zelcups/scoped.h"
#include "zelcups_common.h"

extern char **environ;

namespace {

constexpr char kPPDDirectory[] = "/etc/cups/ppd";
constexpr char kPDLType[] = "ZELQRX5";
constexpr char kDriverDirectory[] = "/Library/Printers/Arvex/QRX5";
constexpr char kPluginExtra[] = "none";
constexpr char kUpdatedOptionsText[] = "0000";
constexpr char kUSB[] = "USB";

struct InfoTerminate {
  void operator()(InfoInstance *instance) const { Info_Terminate(instance); }
};

// lpadmin is given its arguments one by one, found on PATH and waited for; no shell ever
// sees the queue name or the URI, which come from users and from the network. Its result
// is not examined: the scheduler's answer to a refused change shows in the queue itself.
void RunLpadmin(const char *queue_name, const std::string &backend_uri,
                const std::string &ppd_path) {
  const char *const argv[] = {"lpadmin",           "-p", queue_name,       "-v",
                              backend_uri.c_str(), "-P", ppd_path.c_str(), nullptr};
  // Its output would only fill the session's journal with the scheduler's notes (on
  // every queue: "Printer drivers are deprecated"); the agent reads none of it.
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    return;
  }
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned =
      posix_spawnp(&pid, "lpadmin", &actions, nullptr, const_cast<char *const *>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// The driver's plug-in makes the queue's updated options; when it cannot be loaded or
// fails, the user is told, since the queue then lacks the driver's settings.
void RunPluginStep(const char *queue_name) {
  const zelcups::UnstoppableCode plugin_runs;
  std::unique_ptr<InfoInstance, InfoTerminate> instance(
      Info_Initialize(kDriverDirectory, queue_name, kPluginExtra, false, nullptr));
  void *options = nullptr;
  const bool created = instance && Info_CreateUpdatedOptions(instance.get(), true,
                                                             kUpdatedOptionsText, &options) == 0;
  if (!created) {
    z_ShowLibinfoErrorAlert();
  }
  if (options != nullptr) {
    Info_DestroyUpdatedOptions(instance.get(), options);
  }
}

}  // namespace

void z_SetUpQueue(const char *queue_name) {
  if (queue_name == nullptr) {
    return;
  }
  std::string ppd_path = std::string(kPPDDirectory) + "/" + queue_name + ".ppd";
  // A desktop user administers printers without being able to read the scheduler's PPD
  // files; the scheduler hands out the same PPD, which then stands in for the file.
  ScopedPPDCopy ppd_copy;
  if (access(ppd_path.c_str(), R_OK) != 0) {
    if (!ppd_copy.Fetch(queue_name)) {
      return;
    }
    ppd_path = ppd_copy.path();
  }
  if (!zelcups_common_check_pdl_type_by_ppd_file(ppd_path.c_str(), kPDLType)) {
    return;
  }

  char *uri_text = nullptr;
  const int32_t lookup = zelcups_common_queuename_to_cups_device_uri(queue_name, &uri_text);
  zelcups::ScopedMalloc<char> device_uri(uri_text);
  if (lookup != 0 || !device_uri) {
    return;
  }

  QueueBackend backend;
  if (!z_CreateBackendForQueue(queue_name, device_uri.get(), &backend)) {
    return;
  }
  if (!z_LpadminCommandLineFits(queue_name, backend.backend_uri, ppd_path)) {
    return;
  }
  RunLpadmin(queue_name, backend.backend_uri, ppd_path);
  // The copy is lpadmin's alone; it must not outlive a wait for the user below.
  ppd_copy.Remove();

  if (backend.connection_type != kUSB) {
    RunPluginStep(queue_name);
  }
}
