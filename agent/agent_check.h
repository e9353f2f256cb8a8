// zelcups-agent --check: whether this user's agent can work, and what became of each
// queue of the driver family, for a person at a terminal or a helpdesk reading along.
#ifndef ZELCUPS_AGENT_AGENT_CHECK_H
#define ZELCUPS_AGENT_AGENT_CHECK_H

// Writes the report on standard output and returns the process's status: 0 when nothing
// blocks the agent, 1 otherwise. Changes nothing: no queue, no record, no snapshot, and
// it does not take the session's place of the agent, so it runs beside a running one.
int AgentCheck_Run(void);

#endif
