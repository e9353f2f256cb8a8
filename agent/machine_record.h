// The record of handled queues kept per machine, shared by the agents of every session:
// queues belong to the machine, so each new or changed queue is handled by one agent
// only, whoever is logged in, and queues added while nobody was are handled at the next
// login.
#ifndef ZELCUPS_AGENT_MACHINE_RECORD_H
#define ZELCUPS_AGENT_MACHINE_RECORD_H

#include <time.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zelcups_common.h"

// Opens the machine folder (/var/lib/zelcups-agent, which the package makes) for this
// agent. False, with one line on standard error, when it is missing or unusable: the
// session's own snapshot stands in then. Calling it again while open does nothing.
bool MachineRecord_Open(void);
void MachineRecord_Close(void);
bool MachineRecord_InUse(void);

// Takes the queues of list as the baseline when the folder holds no record (or one that
// does not read back, which is replaced with a line). True when a record was there, so
// that queues it lacks are new.
bool MachineRecord_Start(const QueueList *list, int32_t count);

// The indexes into snapshot, in order, of the queues the record has not settled at their
// time: new or changed, claimed by an agent that is gone, or left for a cause that may
// have passed.
std::vector<int32_t> MachineRecord_QueuesToHandle(const QueueList *snapshot, int32_t count);

// Whether a queue left for a cause that may pass is due for its retry, or one claimed by
// an agent that ended is to be tried again: a tick must look then, even when the PPD
// folder did not change.
bool MachineRecord_SomethingDue(void);

enum class RecordClaim {
  kClaimed,  // this agent handles the queue now
  kTaken,    // another agent has it, or settled it meanwhile
  kGivenUp,  // two agents died handling it: it is settled as it stands
  kNotNow,   // the record could not be had: the next tick tries again
};

struct ClaimResult {
  RecordClaim claim = RecordClaim::kTaken;
  uint32_t quiet_reason = 0;  // the failure already told for this queue, 0 when none
};

// Claims the queue at its PPD time for this agent, under the folder's lock.
ClaimResult MachineRecord_Claim(std::string_view name, const struct timespec &ppd_time);

// The claimed queue is handled; ppd_time is its PPD's time now (after lpadmin's rewrite).
// The folder stays locked for the claim of the next queue, until MachineRecord_EndPass.
void MachineRecord_Settle(std::string_view name, const struct timespec &ppd_time);
void MachineRecord_EndPass(void);
// Left for a cause that may pass; tried again later, the same failure told only once.
void MachineRecord_Leave(std::string_view name, const struct timespec &ppd_time, uint32_t reason);
// The claim is given back unhandled (the agent was asked to quit meanwhile).
void MachineRecord_Release(std::string_view name);

// A failure's fingerprint as the record keeps it; never 0.
uint32_t MachineRecord_ReasonHash(std::string_view reason);

// What the record says of one queue, for a reader that changes nothing and claims nothing.
struct RecordedQueue {
  char state = 0;           // 'B' settled, 'C' claimed, 'L' left after a failure, 'R' open;
                            // 0 when the record does not know the queue
  struct timespec time {};  // the PPD time the state is for
};

// Reads the machine's record as it stands, without its lock: a look, not a claim. Empty
// when it could be read (or there is none yet); otherwise why the folder or the record
// cannot be used by this user, in the words of the agent's start-up line. Not while this
// process has the record open for its own work.
std::string MachineRecord_ReadForLook(bool *record_exists);
RecordedQueue MachineRecord_Recorded(std::string_view name);

#endif
