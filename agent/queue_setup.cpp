// Handling of one new or changed queue: the family check, the device-URI lookup, the
// re-registration under the backend URI, and the plug-in step.
#include "queue_setup.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "Info.h"
#include "admin_rights.h"
#include "backend_uri.h"
#include "info_bridge_internal.h"
#include "libinfo_alert.h"
#include "lpadmin.h"
#include "machine_record.h"
#include "ppd_copy.h"
#include "queue_presence.h"
#include "queue_journal.h"
#include "zelcups/quit_request.h"
#include "zelcups/scoped.h"
#include "zelcups/holders.h"
#include "zelcups_common.h"

namespace {

constexpr char kPluginExtra[] = "none";
constexpr char kUpdatedOptionsText[] = "0000";
constexpr char kUSB[] = "USB";
constexpr std::string_view kBackendPrefix = "xvtdbmu://";

struct InfoTerminate {
  void operator()(InfoInstance *instance) const { Info_Terminate(instance); }
};

// Why no backend URI could be formed for a device URI, and how much it matters: no rule
// for its scheme (the backend's own among them) is no one's concern, a URI that would
// not fit needs someone to shorten the queue's name or address.
struct NoBackend {
  std::string reason;
  int level;
};

NoBackend WhyNoBackend(const char *device_uri) {
  return {QueueSetup_WhyNoBackend(device_uri),
          BackendURI_RuleTakes(device_uri) ? kJournalWarning : kJournalInfo};
}

// The driver's plug-in makes the queue's updated options; when it cannot be loaded or
// fails, the user is told, since the queue then lacks the driver's settings. The journal
// says which of the three it was, and what became of the alert.
void RunPluginStep(const char *queue_name) {
  const zelcups::UnstoppableCode plugin_runs;
  std::unique_ptr<InfoInstance, InfoTerminate> instance(
      Info_Initialize(kDriverDirectory, queue_name, kPluginExtra, false, nullptr));
  void *options = nullptr;
  int32_t status = 0;
  std::string failure;
  if (!instance) {
    // Where the loader looked; the driver folder's path always fits.
    const std::string path = InfoBridge_LibraryPath(kDriverDirectory).value_or(kDriverDirectory);
    failure = "the driver's plug-in " + path +
              (access(path.c_str(), F_OK) != 0
                   ? " is missing"
                   : " cannot be loaded (not a complete plug-in, or it gave no context)");
  } else if ((status = Info_CreateUpdatedOptions(instance.get(), true, kUpdatedOptionsText,
                                                 &options)) != 0) {
    failure = "the driver's plug-in failed to create the queue's options (status " +
              std::to_string(status) + ")";
  }
  if (!failure.empty()) {
    QueueJournal_Note(queue_name, failure + "; the user is alerted", kJournalWarning);
    if (LibinfoAlert_Show(queue_name)) {
      QueueJournal_Note(queue_name, "the alert about its plug-in was shown and answered",
                        kJournalInfo);
    } else if (!QuitRequest_Received()) {
      QueueJournal_Note(queue_name,
                        "the alert about its plug-in was not shown or not answered: no "
                        "notification service took it in time, or it went away",
                        kJournalWarning);
    }
  }
  if (options != nullptr) {
    Info_DestroyUpdatedOptions(instance.get(), options);
  }
}

// One journal line for a queue left alone, except for a failure that was already told
// when the queue was last tried: a retry that fails the same way is no news. Whatever cut
// the handling short, a quit is the reason, and no one need act on it.
QueueOutcome Leave(const char *queue_name, const std::string &reason, int level, QueueFate fate,
                   uint32_t quiet_reason) {
  const uint32_t hash = MachineRecord_ReasonHash(reason);
  if (hash != quiet_reason) {
    QueueJournal_LeftAlone(queue_name, reason, QuitRequest_Received() ? kJournalInfo : level);
  }
  return {fate, hash};
}

QueueOutcome Leave(const char *queue_name, const NoBackend &no_backend, QueueFate fate,
                   uint32_t quiet_reason) {
  return Leave(queue_name, no_backend.reason, no_backend.level, fate, quiet_reason);
}

}  // namespace

bool QueueSetup_LookUpDeviceURI(const char *queue_name, std::string *device_uri, std::string *why) {
  char *text = nullptr;
  const int32_t lookup = zelcups_common_queuename_to_cups_device_uri(queue_name, &text);
  const zelcups::ScopedMalloc<char> owned(text);
  if (lookup != 0 || text == nullptr) {
    *why = lookup != 0 ? "no device URI: the scheduler could not be asked"
                       : "no device URI: the scheduler does not know it";
    return false;
  }
  *device_uri = text;
  return true;
}

std::string QueueSetup_WhyNoBackend(const char *device_uri) {
  const std::string_view uri(device_uri);
  if (uri.starts_with(kBackendPrefix)) {
    return kAlreadyOnBackendReason;
  }
  if (BackendURI_RuleTakes(device_uri)) {
    return "too long: its backend URI would exceed " + std::to_string(kMaxURILength) + " bytes";
  }
  return "no rule for device URI " + std::string(uri);
}

bool QueueSetup_IsOfFamily(const char *ppd_path) {
  return zelcups_common_check_pdl_type_by_ppd_file(ppd_path, kPDLType);
}

QueueOutcome QueueSetup_SetUp(const char *queue_name, uint32_t quiet_reason) {
  if (queue_name == nullptr) {
    return {};
  }
  std::string why;
  // The scheduler would refuse every change, each refusal an error in its log, and an
  // alert would ask the user about a queue they cannot change.
  if (!AdminRights_UserMayAdminister()) {
    return Leave(queue_name, kNotAllowedReason, kJournalWarning, QueueFate::kNotAllowed,
                 quiet_reason);
  }
  const std::string ppd_path =
      std::string(zelcups_common_cups_ppd_directory()) + "/" + queue_name + ".ppd";
  // A desktop user administers printers without being able to read the scheduler's PPD
  // files; the scheduler hands out the same PPD, which then stands in for the file. That
  // costs a whole PPD, so the device URI is asked first: a queue no rule takes (every
  // queue already on the maker's backend) is left alone whatever its PPD says.
  const bool readable = access(ppd_path.c_str(), R_OK) == 0;
  std::string device_uri;
  ScopedPPDCopy ppd_copy;
  if (!readable) {
    if (!QueueSetup_LookUpDeviceURI(queue_name, &device_uri, &why)) {
      return Leave(queue_name, why, kJournalWarning, QueueFate::kMayPass, quiet_reason);
    }
    if (!BackendURI_RuleTakes(device_uri.c_str())) {
      return Leave(queue_name, WhyNoBackend(device_uri.c_str()), QueueFate::kSettled, quiet_reason);
    }
    if (!ppd_copy.Fetch(queue_name, &why)) {
      return Leave(queue_name, why, kJournalWarning, QueueFate::kMayPass, quiet_reason);
    }
  }
  if (!QueueSetup_IsOfFamily(readable ? ppd_path.c_str() : ppd_copy.read_path().c_str())) {
    return Leave(queue_name, "not of the driver family", kJournalInfo, QueueFate::kSettled,
                 quiet_reason);
  }
  if (readable && !QueueSetup_LookUpDeviceURI(queue_name, &device_uri, &why)) {
    return Leave(queue_name, why, kJournalWarning, QueueFate::kMayPass, quiet_reason);
  }

  QueueBackend backend;
  if (!BackendURI_Create(queue_name, device_uri.c_str(), &backend)) {
    if (backend.lookup_abandoned) {
      return Leave(queue_name, "its printer's name lookup was given up; not handled",
                   kJournalWarning, QueueFate::kAbandoned, quiet_reason);
    }
    return Leave(queue_name, WhyNoBackend(device_uri.c_str()), QueueFate::kSettled, quiet_reason);
  }
  if (!BackendURI_LpadminCommandLineFits(queue_name, backend.backend_uri)) {
    return Leave(queue_name,
                 "too long: the lpadmin command line would exceed " +
                     std::to_string(kMaxURILength) + " bytes",
                 kJournalWarning, QueueFate::kSettled, quiet_reason);
  }
  // The fetch and the name lookup may have taken long; lpadmin would create the queue
  // again had someone deleted it meanwhile.
  if (!QueuePresence_StillExists(queue_name)) {
    return Leave(queue_name, "the queue no longer exists", kJournalInfo, QueueFate::kSettled,
                 quiet_reason);
  }
  const LpadminResult result = Lpadmin_Run(
      {"-p", queue_name, "-v", backend.backend_uri, "-P", readable ? ppd_path : ppd_copy.path()});
  // The copy is lpadmin's alone; it must not outlive a wait for the user below.
  ppd_copy.Remove();
  // A refused change leaves the queue as the scheduler has it; the plug-in's options and
  // an alert would be about a queue that was never re-pointed.
  if (const std::string failure = Lpadmin_FailureReason(result); !failure.empty()) {
    return Leave(queue_name, failure, kJournalWarning, QueueFate::kMayPass, quiet_reason);
  }
  QueueJournal_Repointed(queue_name, backend.backend_uri);

  if (backend.connection_type != kUSB) {
    RunPluginStep(queue_name);
  }
  return {QueueFate::kRepointed, 0};
}
