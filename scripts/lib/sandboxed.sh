# shellcheck shell=bash
# Sourced by the shell scripts that run the agent in scripts/sandbox: the one way in, the
# one guard for the parts that must run only there, and the one sign that the agent is up.

# run_in_sandbox [SANDBOX-OPTION...] -- COMMAND...: replaces this process with COMMAND in
# the sandbox, unless it runs there already.
run_in_sandbox() {
  [ "${ZELCUPS_SANDBOX:-0}" = 1 ] && return 0
  exec "$(dirname "${BASH_SOURCE[0]}")/../sandbox" "$@"
}

# The steps that follow would act on the host's scheduler or show the host's user
# notices: refuse them outside the sandbox.
require_sandbox() {
  [ "${ZELCUPS_SANDBOX-}" = 1 ] || { echo "${0##*/}: --inside runs only in scripts/sandbox" >&2; exit 2; }
}

# agent_ready PID: SIGHUP, SIGINT and SIGTERM (bits 1, 2 and 15) are caught or blocked for
# a signalfd, which the agent does before anything else.
agent_ready() {
  local caught blocked
  caught=$(sed -n 's/^SigCgt:\t//p' "/proc/$1/status" 2>/dev/null)
  blocked=$(sed -n 's/^SigBlk:\t//p' "/proc/$1/status" 2>/dev/null)
  [ -n "$caught" ] && [ $(((0x$caught | 0x$blocked) & 0x4003)) -eq $((0x4003)) ]
}

# wait_agent_ready PID LOG: up to 10 s; when the agent does not come up, prints LOG and
# fails.
wait_agent_ready() {
  local _
  for _ in $(seq 200); do
    agent_ready "$1" && return 0
    sleep 0.05
  done
  echo "${0##*/}: the agent did not come up:" >&2
  cat "$2" >&2
  return 1
}
