// The check looks at what the agent would look at, through the agent's own lookups, so
// that its answer and the agent's behaviour cannot drift apart; where the agent would act,
// it only reads.
#include "agent_check.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "admin_rights.h"
#include "backend_uri.h"
#include "info_bridge_internal.h"
#include "lpadmin.h"
#include "machine_record.h"
#include "ppd_copy.h"
#include "queue_journal.h"
#include "queue_setup.h"
#include "snapshot_compare.h"
#include "zelcups/holders.h"
#include "zelcups/notification_presence.h"
#include "zelcups/private_folder.h"
#include "zelcups/scoped.h"
#include "zelcups/session_instance.h"
#include "zelcups_common.h"

namespace {

enum class Severity {
  kOk,
  kDegraded,  // the agent works, with less: no notices, no alert, no shared record
  kBlocks,    // no queue can be re-pointed
};

struct Finding {
  Severity severity = Severity::kOk;
  std::string text;  // "ok ..." or the problem and its remedy
};

struct Output {
  bool colour = false;
  bool blocked = false;
};

// Escape sequences only where a person sees them: a pipe, a file or a dumb terminal gets
// the same words without them.
bool WantColour() {
  const char *term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) == 1 && term != nullptr && term[0] != '\0' &&
         std::strcmp(term, "dumb") != 0;
}

const char *ColourOf(Severity severity) {
  switch (severity) {
    case Severity::kOk:
      return "\033[32m";
    case Severity::kDegraded:
      return "\033[33m";
    case Severity::kBlocks:
      break;
  }
  return "\033[31m";
}

void Say(Output *out, const char *label, const Finding &finding) {
  out->blocked = out->blocked || finding.severity == Severity::kBlocks;
  printf("  %-26s %s%s%s\n", label, out->colour ? ColourOf(finding.severity) : "",
         finding.text.c_str(), out->colour ? "\033[0m" : "");
}

// The user's own choice comes first: a turned-off agent does nothing whatever else holds.
Finding TurnedOnFinding() {
  const zelcups::ScopedMalloc<char> file(SessionInstance_CopyOptOut("zelcups-agent"));
  if (!file) {
    return {Severity::kOk, "ok"};
  }
  return {Severity::kBlocks, std::string("no: turned off by ") + file.get() +
                                 "; remedy: systemctl --user unmask zelcups-agent, or remove "
                                 "or un-hide that autostart entry"};
}

Finding AdministerFinding() {
  std::optional<std::string> warning = AdminRights_CurrentWarning();
  if (!warning) {
    return {Severity::kOk, "ok"};
  }
  // The start-up line names the group that allows it: the remedy is in it already.
  constexpr std::string_view kPrefix = "zelcups-agent: ";
  if (warning->starts_with(kPrefix)) {
    warning->erase(0, kPrefix.size());
  }
  return {Severity::kBlocks, "no: " + *warning + " (an administrator adds the user)"};
}

Finding LpadminFinding() {
  const std::string program = Lpadmin_Find(std::getenv("PATH"));
  if (!program.empty()) {
    return {Severity::kOk, "ok: " + program};
  }
  return {Severity::kBlocks,
          "not found on PATH nor in /usr/local/sbin, /usr/sbin or /sbin; remedy: install the "
          "scheduler's client programs (cups-client)"};
}

// Every queue's PPD and device URI come from it; while it does not answer, no queue can be
// handled, nor told about here.
Finding SchedulerFinding() {
  if (http_t *connection = zelcups_common_connect_to_scheduler()) {
    httpClose(connection);
    return {Severity::kOk, "ok"};
  }
  return {Severity::kBlocks,
          "does not answer, so no queue can be re-pointed or looked at; remedy: start the "
          "printing service"};
}

bool BackendPresent() {
  struct stat status {};
  return stat(kBackendProgramPath, &status) == 0;
}

Finding BackendFinding() {
  if (BackendPresent()) {
    return {Severity::kOk, std::string("ok: ") + kBackendProgramPath};
  }
  return {Severity::kBlocks, std::string("missing: ") + kBackendProgramPath +
                                 ", so the scheduler refuses every re-pointed queue; remedy: "
                                 "install the driver's backend"};
}

Finding PluginFinding() {
  const std::optional<std::string> path = InfoBridge_LibraryPath(kDriverDirectory);
  const char *consequence =
      ", so re-pointed queues lack the driver's settings and each brings an alert; remedy: "
      "reinstall the driver";
  struct stat status {};
  if (!path || stat(path->c_str(), &status) != 0) {
    return {Severity::kDegraded,
            "missing: " + path.value_or(std::string(kDriverDirectory) + "/Libs") + consequence};
  }
  dlerror();
  if (InfoLibrary *library = zLoadInfoLibrary(path->c_str())) {
    zFreeInfoLibrary(library);
    return {Severity::kOk, "ok: " + *path};
  }
  const char *why = dlerror();
  return {Severity::kDegraded, "not loadable: " + *path +
                                   (why != nullptr ? " (" + std::string(why) + ")" : "") +
                                   consequence};
}

Finding NotificationFinding() {
  switch (NotificationService_Presence()) {
    case kNotificationServiceRuns:
      return {Severity::kOk, "ok"};
    case kNotificationServiceActivatable:
      return {Severity::kOk, "ok (the session bus starts it when needed)"};
    case kNotificationServiceAbsent:
      return {Severity::kDegraded,
              "none on the session bus, so status notices and the plug-in's alert are not "
              "shown; remedy: start the desktop's notification service"};
    case kNotificationServiceNoBus:
      break;
  }
  return {Severity::kDegraded,
          "no session bus, so status notices and the plug-in's alert are not shown; remedy: "
          "run the agent in a desktop session"};
}

Finding RuntimeFolderFinding() {
  if (const char *runtime = PrivateFolder_SessionRuntime()) {
    return {Severity::kOk, std::string("ok: ") + runtime};
  }
  // Where the agent would make a folder of its own instead; asked, not made.
  for (const char *parent : {static_cast<const char *>(std::getenv("TMPDIR")), "/tmp"}) {
    if (parent != nullptr && PrivateFolder_IsSafeTemporaryFolder(parent)) {
      return {Severity::kDegraded,
              std::string("$XDG_RUNTIME_DIR is unset or not closed to others, so the agent "
                          "keeps its files under ") +
                  parent +
                  " and forgets them when it ends; remedy: log in through the desktop's "
                  "login manager"};
    }
  }
  return {Severity::kBlocks,
          "neither $XDG_RUNTIME_DIR nor a temporary folder is closed to others, so the agent "
          "has nowhere to keep a queue's PPD; remedy: log in through the desktop's login "
          "manager"};
}

Finding MachineRecordFinding(bool *usable) {
  bool exists = false;
  const std::string why = MachineRecord_ReadForLook(&exists);
  *usable = why.empty();
  if (!why.empty()) {
    // The folder belongs to the scheduler's administrators: one that is there but closed
    // to the user asks for the same membership as administering printers.
    const bool missing = why.ends_with(" is missing");
    return {Severity::kDegraded,
            "the machine folder " + why +
                ", so this session keeps its own record and agents of other sessions may "
                "handle the same queues; remedy: " +
                (missing ? "reinstall the package, which makes it"
                         : "the membership that allows administering printers")};
  }
  return {Severity::kOk, exists ? "ok"
                                : "ok (no record yet: the machine's first agent takes "
                                  "the queues present then as handled)"};
}

// Why a family queue no rule keeps from the backend is not on it: what the machine's record
// says of it at its PPD's time first, since a queue settled there stays as it is whatever
// the agent's means; then what would keep this user's agent from re-pointing it now.
std::string WhyNotOnBackend(const char *queue_name, const struct timespec &ppd_time,
                            bool record_usable, bool may_administer) {
  const RecordedQueue recorded =
      record_usable ? MachineRecord_Recorded(queue_name) : RecordedQueue{};
  const bool current = recorded.state != 0 && SnapshotCompare_SameTime(recorded.time, ppd_time);
  if (current && recorded.state == 'B') {
    return "taken as it was: it was there when the machine's first agent started, or an agent "
           "left it alone for good (its journal line tells why)";
  }
  if (current && recorded.state == 'C') {
    return "being handled by an agent now";
  }
  if (!may_administer) {
    return std::string("left alone: ") + kNotAllowedReason;
  }
  if (!BackendPresent()) {
    return std::string("left alone: the driver's backend ") + kBackendProgramPath + " is missing";
  }
  if (!record_usable) {
    return "not re-pointed; without the machine's record, the journal of the agent that met "
           "it tells why";
  }
  if (current && recorded.state == 'L') {
    return "left alone after a failure its journal line tells (lpadmin refused, or the "
           "scheduler did not answer); tried again within a minute";
  }
  if (current && recorded.state == 'R') {
    return "not handled yet: an agent gave it back (its user may not administer printers, or "
           "it was asked to quit); the next agent that may takes it";
  }
  return "not handled yet: new or changed since an agent last looked; the next agent to run "
         "takes it";
}

// One queue's line; false when the queue is not of the family (nothing is said then).
bool QueueLine(const QueueList *list, int32_t index, bool may_administer, bool record_usable,
               std::string *line, Severity *severity) {
  const char *name = zelcups_common_cups_queuelist_get_queue_name(list, index);
  if (name == nullptr) {
    return false;
  }
  const std::string ppd_path =
      std::string(zelcups_common_cups_ppd_directory()) + "/" + name + ".ppd";
  ScopedPPDCopy copy;
  std::string why;
  const bool readable = access(ppd_path.c_str(), R_OK) == 0;
  if (!readable && !copy.Fetch(name, &why)) {
    *severity = Severity::kDegraded;
    *line = "family unknown: " + why;
    return true;
  }
  if (!QueueSetup_IsOfFamily(readable ? ppd_path.c_str() : copy.read_path().c_str())) {
    return false;
  }
  copy.Remove();
  std::string device_uri;
  *severity = Severity::kDegraded;
  if (!QueueSetup_LookUpDeviceURI(name, &device_uri, &why)) {
    *line = "unknown: " + why;
    return true;
  }
  const std::string no_backend = QueueSetup_WhyNoBackend(device_uri.c_str());
  if (no_backend == kAlreadyOnBackendReason) {
    *severity = Severity::kOk;
    *line = "on the driver's backend: " + QueueJournal_Printable(device_uri);
  } else if (!BackendURI_RuleTakes(device_uri.c_str())) {
    *line = "left alone: " + QueueJournal_Printable(no_backend);
  } else {
    *line = WhyNotOnBackend(name, zelcups_common_cups_queuelist_get_queue_modify_time(list, index),
                            record_usable, may_administer);
  }
  return true;
}

}  // namespace

int AgentCheck_Run(void) {
  // A person may give up on a scheduler that does not answer: with nothing changed, there
  // is nothing to finish first, so a quit signal ends the check where it stands.
  sigset_t quit_signals;
  sigemptyset(&quit_signals);
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    sigaddset(&quit_signals, signal_number);
  }
  sigprocmask(SIG_UNBLOCK, &quit_signals, nullptr);

  Output out;
  out.colour = WantColour();
  printf("What the agent needs:\n");
  Say(&out, "turned on for this user", TurnedOnFinding());
  const Finding administer = AdministerFinding();
  Say(&out, "may administer printers", administer);
  Say(&out, "lpadmin", LpadminFinding());
  const Finding scheduler = SchedulerFinding();
  Say(&out, "the scheduler", scheduler);
  Say(&out, "the driver's backend", BackendFinding());
  Say(&out, "the driver's plug-in", PluginFinding());
  Say(&out, "notification service", NotificationFinding());
  Say(&out, "runtime folder", RuntimeFolderFinding());
  bool record_usable = false;
  Say(&out, "machine record", MachineRecordFinding(&record_usable));
  fflush(stdout);

  printf("Queues of the Arvex QRX5 driver family:\n");
  // Without the scheduler no queue's PPD or device URI can be had: one line, not one
  // wait per queue.
  int32_t count = 0;
  QueueList *list = scheduler.severity == Severity::kOk
                        ? zelcups_common_cups_queuelist_initialize(&count)
                        : nullptr;
  int32_t family = 0;
  for (int32_t index = 0; index < count; ++index) {
    std::string line;
    Severity severity = Severity::kOk;
    if (QueueLine(list, index, administer.severity == Severity::kOk, record_usable, &line,
                  &severity)) {
      ++family;
      const std::string name =
          QueueJournal_Printable(zelcups_common_cups_queuelist_get_queue_name(list, index));
      // A queue's state is news, not a need: it does not decide the status.
      const bool blocked = out.blocked;
      Say(&out, name.c_str(), {severity, line});
      out.blocked = blocked;
      fflush(stdout);
    }
  }
  zelcups_common_cups_queuelist_terminate(list);
  if (scheduler.severity != Severity::kOk) {
    printf("  not known while the scheduler does not answer\n");
  } else if (family == 0) {
    printf("  none\n");
  }
  printf("%s\n", out.blocked ? "Something above keeps the agent from re-pointing queues."
                             : "Nothing keeps the agent from re-pointing queues.");
  return out.blocked ? 1 : 0;
}
