"""zelcups-agent --check as the session user, in the terminal's place: one sandbox, each
row changes it a step further and reads what the check says."""

import grp
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zelcups_e2e import (  # noqa: E402
    BACKEND_PATH, add_queue, as_user, check, device_uris, main, runtime_dir,
    start_scheduler, stop_notification_service, stop_scheduler, user_env,
)

MACHINE = "/tmp/zelcups-check-machine"
NEEDS = ("turned on for this user", "may administer printers", "lpadmin", "the scheduler",
         "the driver's backend", "the driver's plug-in", "notification service", "runtime folder",
         "machine record")

# (change before the look, exit status, lines the report must hold)
ROWS = (
    (lambda: None, 0, [rf"^  {n} +ok\b" for n in NEEDS]
     + [r"^  Office +on the driver's backend: xvtdbmu://ZEL_QRX5_LPR/Office/"]),
    (lambda: add_queue("Later", device_uri="socket://10.0.0.8"), 0,
     [r"^  Later +not handled yet: "]),
    (lambda: os.rename(BACKEND_PATH, BACKEND_PATH + ".away"), 1,
     [r"^  the driver's backend +missing: /usr/lib/cups/backend/xvtdbmu, .*; remedy: ",
      r"^  Later +left alone: the driver's backend \S+ is missing$"]),
    (stop_notification_service, 1, [r"^  notification service +none on the session bus.*; remedy: "]),
    (stop_scheduler, 1, [r"^  the scheduler +does not answer.*; remedy: "]),
)


def test_check(run):
    os.mkdir(MACHINE)
    os.chown(MACHINE, 0, grp.getgrnam("lpadmin").gr_gid)
    os.chmod(MACHINE, 0o2770)
    add_queue("Office", device_uri="xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5")
    add_queue("Other", "other-maker")
    env = user_env(dict(os.environ, ZELCUPS_TESTING_MACHINE_FOLDER=MACHINE, LC_ALL="C"))
    runtime_before, uris_before = set(os.listdir(runtime_dir())), device_uris()
    for i, (change, status, patterns) in enumerate(ROWS):
        change()
        uris_before.update({n: u for n, u in device_uris().items() if n not in uris_before})
        done = subprocess.run(as_user(run.agent_argv + ["--check"]), env=env, timeout=60,
                              capture_output=True, text=True, stdin=subprocess.DEVNULL)
        missing = [p for p in patterns if not re.search(p, done.stdout, re.M)]
        # Not a terminal: plain text; only the family's queues are listed.
        check(done.returncode == status and not missing and "\033" not in done.stdout
              and "Other" not in done.stdout, f"row {i}: {done.returncode}, lacks {missing}:\n"
              f"{done.stdout}{done.stderr}")
    # A look, not an action: no queue, record, lock or runtime file came or changed.
    start_scheduler()
    check(device_uris() == uris_before and not os.listdir(MACHINE)
          and set(os.listdir(runtime_dir())) == runtime_before, "the check changed something")


if __name__ == "__main__":
    main(globals())
