#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent_check.h"
#include "zelcups/journal.h"
#include "agent_context.h"
#include "zelcups/own_executable.h"
#include "zelcups/session_instance.h"

namespace {

constexpr char kUsage[] = "usage: zelcups-agent [--help | --version | --check]\n";
constexpr char kHelp[] =
    "usage: zelcups-agent [--help | --version | --check]\n"
    "\n"
    "Runs in the background of a desktop session: re-points new print queues of the\n"
    "Arvex QRX5 driver family at the driver's backend and shows the driver's status\n"
    "notices. It takes no arguments; the user unit or the autostart entry starts it.\n"
    "What it does with each queue goes to standard error, one line per queue.\n"
    "\n"
    "  --check    tell, without changing anything, whether this user's agent can work\n"
    "             and what became of each queue of the family; status 1 when something\n"
    "             keeps the agent from re-pointing queues\n"
    "  --help     print this text and end\n"
    "  --version  print the version and end\n";

}  // namespace

int main(int argc, char **argv) {
  // Asked by a person at a terminal, it answers and ends instead of starting its work
  // there; anything else it does not take is a mistake, said so, before any work starts.
  if (argc > 1) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
      fputs(kHelp, stdout);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      fputs("zelcups-agent " ZELCUPS_AGENT_VERSION "\n", stdout);
      return 0;
    }
    // Read-only, so it runs beside the session's agent without claiming its place.
    if (argc == 2 && std::strcmp(argv[1], "--check") == 0) {
      return AgentCheck_Run();
    }
    fputs(kUsage, stderr);
    return 2;
  }
  // Turned off by the user, the desktop's way: whichever path started it, it ends.
  if (char *file = SessionInstance_CopyOptOut("zelcups-agent")) {
    fprintf(stderr, "%szelcups-agent: turned off for this user by %s; it ends\n",
            Journal_Prefix(kJournalInfo), file);
    free(file);
    return 0;
  }
  // The autostart entry and the user unit may both start the agent, and so may the user:
  // a second agent would re-point every queue and show every alert twice.
  if (!SessionInstance_Claim("zelcups-agent")) {
    fprintf(stderr, "%szelcups-agent: another zelcups-agent runs in this session; this one ends\n",
            Journal_Prefix(kJournalInfo));
    return 0;
  }
  const int result = Agent_Main();
  // An upgrade or a removal of the package ended the loop: the agent follows it.
  OwnExecutable_FollowPackage(argv);
  return result;
}
