// Running the scheduler's administration command, and what it answered.
#ifndef ZELCUPS_AGENT_LPADMIN_H
#define ZELCUPS_AGENT_LPADMIN_H

#include <string>
#include <string_view>
#include <vector>

// How one run of lpadmin ended.
struct LpadminResult {
  bool started = false;    // false: none was found, or it could not be started
  int exit_status = -1;    // its exit status when it ended by itself, else -1
  int signal_number = 0;   // the signal that ended it, 0 when none did
  bool cut_short = false;  // ended by the agent, which was asked to quit
  std::string message;     // the last line it wrote on standard error
};

// The lpadmin to run: the first executable file named lpadmin in the absolute folders of
// path_variable (the PATH), then in /usr/local/sbin, /usr/sbin and /sbin; empty when
// there is none. An ordinary user's PATH lacks the sbin folders on Debian.
std::string Lpadmin_Find(const char *path_variable);

// The same search over path_variable and then the given folders.
std::string Lpadmin_FindIn(const char *path_variable,
                           const std::vector<std::string_view> &fallback_folders);

// Runs program with the arguments (after argv[0], which is "lpadmin") and waits for it.
// Its standard output goes nowhere; its standard error is read. A quit request that comes
// meanwhile gives it half a second more, then it is ended.
LpadminResult Lpadmin_RunProgram(const std::string &program,
                                 const std::vector<std::string> &arguments);

// Lpadmin_RunProgram with Lpadmin_Find(getenv("PATH")).
LpadminResult Lpadmin_Run(const std::vector<std::string> &arguments);

// Why a run failed, as a short phrase for the journal; empty when it succeeded.
std::string Lpadmin_FailureReason(const LpadminResult &result);

#endif
