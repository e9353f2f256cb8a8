// Start-up and shutdown of the agent.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "queue_journal.h"
#include "zelcups/own_executable.h"
#include "zelcups/journal.h"
#include "CommonLib.h"
#include "admin_rights.h"
#include "agent_context.h"
#include "backend_uri.h"
#include "printer_setup.h"
#include "status_notice.h"

namespace {

// The product-profile entry that names the object under which the driver posts its
// status notifications.
CFStringRef NotificationIdentifierKey() {
  return CFSTR("com.arvex.driver.QRX5.NotificationObject");
}

void ReadNotificationIdentifier(AgentContext *context) {
  ZEL_PMTicketRef ticket = nullptr;
  if (ZEL_INF_GetProductProfile(&ticket) == noErr) {
    ZEL_Utl_PMTicketGetCFString(ticket, 0, 0, NotificationIdentifierKey(),
                                &context->notification_identifier);
  }
  if (ticket != nullptr) {
    ZEL_Utl_PMTicketRelease(ticket);
  }
}

// The scheduler refuses a device URI whose scheme has no backend, so no queue can be
// re-pointed until the driver's is installed; the agent tries all the same, since it may
// be installed while the agent runs.
// Only its presence is asked: a backend that must run as root is closed to the user.
void WarnIfBackendMissing() {
  struct stat status {};
  if (stat(kBackendProgramPath, &status) != 0) {
    QueueJournal_Say(std::string("the driver's backend ") + kBackendProgramPath +
                         " is missing, so queues cannot be re-pointed until the driver's "
                         "backend is installed",
                     kJournalWarning);
  }
}

}  // namespace

int32_t Agent_Main(void) {
  // Quit requests count from here: one that comes while the agent starts or shuts down
  // ends it like one that comes while it runs.
  GetMainEventLoop();
  OwnExecutable_Watch();

  AdminRights_WarnIfNotAdministrator();
  WarnIfBackendMissing();
  auto *context = static_cast<AgentContext *>(calloc(1, sizeof(AgentContext)));
  if (context != nullptr) {
    ReadNotificationIdentifier(context);
  }

  int32_t result = Alert_InitializeNotify(context);
  if (result == 0) {
    result = PrinterSetup_InitializeNotify(context);
  }
  if (result == 0) {
    RunApplicationEventLoop();
  }

  // Start-up undone in reverse order, also after a failed start: each step accepts a
  // context that start-up built only in part, or not at all, so nothing that was set up
  // (above all the observer, which holds the context) outlives the context.
  PrinterSetup_TerminateNotify(context);
  Alert_TerminateNotify(context);
  free(context);
  return result;
}
