// Re-pointing one new or changed queue at the maker's backend.
#ifndef ZELCUPS_AGENT_QUEUE_SETUP_H
#define ZELCUPS_AGENT_QUEUE_SETUP_H

#include <cstdint>
#include <string>

// The driver's folder, with its plug-in under Libs/, and the PDL type its PPDs name.
inline constexpr char kDriverDirectory[] = "/Library/Printers/Arvex/QRX5";
inline constexpr char kPDLType[] = "ZELQRX5";

// The journal's reason for a queue this user's agent may not set up.
inline constexpr char kNotAllowedReason[] = "the user may not administer printers";

enum class QueueFate {
  kRepointed,   // lpadmin re-pointed it
  kSettled,     // left alone for good: another driver's, already re-pointed, gone
  kMayPass,     // left alone for a cause that may pass: worth another try later
  kNotAllowed,  // this user may not administer printers; another user's agent may
  kAbandoned,   // its printer's name lookup was given up (a quit, or no answer in time):
                // nothing was done, and it is to be tried again, never taken as done
};

struct QueueOutcome {
  QueueFate fate = QueueFate::kSettled;
  uint32_t reason = 0;  // MachineRecord_ReasonHash of why it was left alone
};

// Checks that the queue's PPD belongs to the driver family, re-registers the queue with
// lpadmin under the backend URI formed from its device URI, and for every queue not
// connected over USB opens the info plug-in for it, alerting the user when that fails.
// A queue that cannot be handled is left as it is. Either way one journal line says what
// became of it, except for a failure whose MachineRecord_ReasonHash is quiet_reason: the
// one already told when the queue was last tried.
QueueOutcome QueueSetup_SetUp(const char *queue_name, uint32_t quiet_reason = 0);

// Whether the PPD file marks its queue as one of the driver family.
bool QueueSetup_IsOfFamily(const char *ppd_path);

// Why no backend URI can be formed for a device URI: no rule for its scheme (the
// backend's own among them), or one that would not fit; the journal's words.
std::string QueueSetup_WhyNoBackend(const char *device_uri);

// The queue's device URI from the scheduler; false, with *why in the journal's words,
// when there is none.
bool QueueSetup_LookUpDeviceURI(const char *queue_name, std::string *device_uri, std::string *why);

#endif
