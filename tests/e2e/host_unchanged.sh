#!/usr/bin/env bash
# A sandbox run leaves the host as it was: /etc/cups, /usr/lib/cups/backend and the root
# folder have the same entries, modes, owners, sizes, times and contents afterwards, and a
# scheduler that ran on the host before keeps running.
#
#   host_unchanged.sh SANDBOX AGENT-COMMAND PLUGIN
#
# Inside the sandbox it writes into every folder the sandbox makes its own and runs the
# queue-churn case with the agent, so that the scheduler, lpadmin and the agent all work.
set -euo pipefail

sandbox=$1
agent=$2
plugin=$3
here=$(cd "$(dirname "$0")" && pwd)

snapshot() {
  # Entries of the root folder (not their times: /tmp and the like change all the time),
  # the root folder's own time (it changes when an entry is created or removed), and every
  # detail of the two CUPS folders.
  find / -mindepth 1 -maxdepth 1 -printf '%p %y %m %U %G\n' | sort
  stat -c 'root %Y' /
  find /etc/cups /usr/lib/cups/backend -printf '%p %y %m %U %G %s %T@ %l\n' | sort
  find /etc/cups /usr/lib/cups/backend -type f -print0 | sort -z | xargs -0r sha256sum
}

# Schedulers of the host's own process namespace as "pid:start-time"; those of sandboxes
# running alongside live in namespaces of their own.
host_schedulers() {
  local pid own
  own=$(readlink /proc/self/ns/pid)
  for pid in $(pgrep -x cupsd); do
    if [ "$(readlink "/proc/$pid/ns/pid" 2>/dev/null)" = "$own" ]; then
      printf '%s:%s\n' "$pid" "$(cut -d' ' -f22 "/proc/$pid/stat" 2>/dev/null)"
    fi
  done
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

snapshot >"$work/before"
host_schedulers >"$work/schedulers"

# shellcheck disable=SC2016 # expanded by the inner shell
"$sandbox" --plugin "$plugin" /bin/bash -euc '
  echo sandbox-was-here >/etc/cups/stray.conf
  echo sandbox-was-here >/usr/lib/cups/backend/stray
  echo sandbox-was-here >/Library/Printers/Arvex/QRX5/stray
  echo "10.9.9.9 stray.example" >>/etc/hosts
  /usr/bin/python3 "$1/test_agent_lifecycle.py" --agent "$2" queue_churn
' sandbox "$here" "$agent"

snapshot >"$work/after"

if ! diff -u "$work/before" "$work/after"; then
  echo "FAIL: the sandbox run changed the host (diff above: - before, + after)"
  exit 1
fi
# Only a scheduler that ran before can this run have stopped; one that something else on
# the machine starts meanwhile is none of its doing (and a queue the run put into a host
# scheduler would show in /etc/cups above).
if stopped=$(host_schedulers | grep -vxFf - "$work/schedulers"); then
  echo "FAIL: the host's scheduler stopped during the sandbox run: $stopped"
  exit 1
fi
echo "PASS: host unchanged ($(wc -l <"$work/before") entries compared)"
