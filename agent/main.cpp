#include <cstdio>

#include "agent_context.h"
#include "zelcups/session_instance.h"

int main() {
  // The autostart entry and the user unit may both start the agent, and so may the user:
  // a second agent would re-point every queue and show every alert twice.
  if (!CompatClaimSessionInstance("zelcups-agent")) {
    fputs("zelcups-agent: another zelcups-agent runs in this session; this one ends\n", stderr);
    return 0;
  }
  return Agent_Main();
}
