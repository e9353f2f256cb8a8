#include "agent_context.h"

int main() {
  return Agent_Main();
}
