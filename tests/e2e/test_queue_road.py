"""The road of a new queue of the driver family, end to end: the agent, run as the desktop
user, against the real scheduler, with a recording lpadmin first on PATH (it logs each
argument vector, then runs the real one) and, where the case says, a recording info
plug-in in the driver directory.

The backend URI each queue must get is worked out here from the address rule itself
(expected_backend_uri), never by asking the agent's code.

Fixtures (--fixture NAME=PATH): lpadmin, the recording lpadmin; share, the built share/
folder that holds the agent's catalogues."""

import os
import random
import re
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zelcups_e2e import (  # noqa: E402
    ADMIN_USER, DEFAULT_NOTIFICATION_OBJECT, DRIVER_DIR, PLUGIN_PATH, OUTSIDER_USER, PPD_DIR,
    SESSION_USER, TICK_SECONDS, TestFailure, add_queue, add_to_group, check, device_uri,
    device_uris, emit_notification_signal, notification_calls, new_session, post_status,
    runtime_dir, start_notification_service, start_scheduler, stop_notification_service,
    stop_scheduler, wait_for, TWO_TICKS, REPOINT_LIMIT, WORK, FAMILY, OTHER, ADDRESS_RULES,
    expected_backend_uri, Road, check_repointed_once, wait_repointed, add_at_once, quit_cleanly,
    alerts, status_notices, is_handled, check_alert_form, fresh_notification_service, alert_ids,
    add_in_one_tick, install_plugin_atomically, NEW_QUEUES,
)

PLUGIN_BASE = DRIVER_DIR
IDLE_CPU_LIMIT = 0.5


# --- the address rule, from first principles ------------------------------------------


def connection_type_of(backend_uri):
    return backend_uri.split("/")[2]


# Where the rule is written out in so many words; the reference must agree before any
# case relies on it.
REFERENCE_ROWS = (  # queue Office: (device URI, backend URI or None)
    ("socket://10.0.0.5",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5"),
    ("dnssd://Office%20Printer._printer._tcp.local./",
     "xvtdbmu://DNSSD/Office/mdns://Office%20Printer._printer._tcp.local./"),
    ("lpd://[v1.fe80::1]/lp",
     "xvtdbmu://ZEL_QRX5_LPRv6/Office/lpd://[v1.fe80::1+en0]/lp"),
    ("lpd://[fd00::5]/lp",
     "xvtdbmu://ZEL_QRX5_LPRv6/Office/lpd://[v1.fd00::5]/lp"),
    ("ipp://192.168.0.5:631/ipp",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://192.168.0.5:631/ipp"),
    ("lpd://10.0.0.5/queue(1)",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5/queue%281%29"),
    ("usb://Arvex/QRX5?serial=1",
     "xvtdbmu://USB/Office/usb://Arvex/QRX5?serial=1"),
    ("lpd://v1.ip6-localhost/q",
     "xvtdbmu://ZEL_QRX5_LPRv6/Office/lpd://[v1.ip6-localhost]/q"),
    ("lpd://v1.printer-without-v6/q",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://v1.printer-without-v6/q"),
    ("lpd://V1.ip6-localhost/q",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://V1.ip6-localhost/q"),
    ("ipps://10.0.0.5/ipp",
     None),
    ("xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5",
     None),
)


def check_reference():
    for uri, expected in REFERENCE_ROWS:
        got = expected_backend_uri("Office", uri)
        check(got == expected, f"the test's own address rule: {uri} gives {got}, not {expected}")


# --- the recording lpadmin and the work folder ----------------------------------------


def check_plugin_group(group, queue):
    """The four calls with their arguments, in order, on one instance."""
    where = f"plug-in calls for {queue!r}"
    check(len(group) == 5, f"{where}: {group}")
    init = re.fullmatch(
        r"Info_Initialize \[(.*)\] \[(.*)\] \[(.*)\] (\d) pair=0x0 first=0x0\[\(null\)\] "
        r"second=0x0\[\(null\)\] -> (0x[0-9a-f]+)",
        group[0],
    )
    check(init is not None, f"{where}: {group[0]}")
    base, name, extra, flag, instance = init.groups()
    check((base, name, extra, flag) == (PLUGIN_BASE, queue, "none", "0"), f"{where}: {group[0]}")
    check(instance != "0x0", f"{where}: no instance")
    create = re.fullmatch(rf"Info_CreateUpdatedOptions {instance} 1 \[0000\] 0x[0-9a-f]+", group[1])
    check(create is not None, f"{where}: {group[1]}")
    handle = re.fullmatch(r"options (0x[0-9a-f]+)", group[2])
    check(handle is not None, f"{where}: {group[2]}")
    check(
        group[3] == f"Info_DestroyUpdatedOptions {instance} {handle.group(1)}",
        f"{where}: {group[3]}",
    )
    check(group[4].startswith(f"Info_Terminate {instance} "), f"{where}: {group[4]}")


def check_no_admin_line(agent):
    check("administer" not in agent.output(), f"{agent.label} said: {agent.output()}")


# --- the edge cases as a table --------------------------------------------------------


# Present when the agent starts: never touched, unless their PPD changes.
AT_START = (
    ("Early", FAMILY, "socket://10.0.0.20"),
    ("Reloaded", FAMILY, "socket://10.0.0.21"),
    ("Lobby", OTHER, "lpd://10.0.0.6/queue"),
)


def check_record_reads_back(run, queue, original_uri):
    """The maker's reader turns the backend URI the agent wrote back into a record that
    holds what the original device URI said: the host, the IPv6 address, the Bonjour
    service name or the USB serial number."""
    import plistlib
    import subprocess
    import urllib.parse

    written = device_uri(queue)
    out = subprocess.run([run.fixture("record_tool"), written], capture_output=True, check=False)
    check(out.returncode == 0, f"{queue!r}: the reader refused {written}: {out.stderr!r}")
    xml = out.stdout[out.stdout.index(b"<?xml"):]
    record = plistlib.loads(xml)
    kind = record.get("Connection")
    remainder = original_uri.split("://", 1)[1]
    if kind == "ZEL_QRX5_LPR":
        expected = remainder.split("/", 1)[0]
        check(record.get("MODEL:") == expected, f"{queue!r}: host {record} for {original_uri}")
    elif kind == "ZEL_QRX5_LPRv6":
        host = remainder.split("/", 1)[0]
        inner = host[1:].split("]", 1)[0] if host.startswith("[") else host
        address = inner.removeprefix("v1.").split("+", 1)[0]
        check(str(record.get("MODEL:", "")).startswith(address),
              f"{queue!r}: address {record} for {original_uri}")
    elif kind is None and "Address" in record:  # Bonjour
        service = urllib.parse.unquote(remainder.split("._", 1)[0])
        check(record["Address"] == service, f"{queue!r}: service {record} for {original_uri}")
    elif "SERN:" in record:  # USB
        serial = urllib.parse.unquote(remainder.split("serial=", 1)[1])
        check(record["SERN:"] == serial, f"{queue!r}: serial {record} for {original_uri}")
    else:
        check(False, f"{queue!r}: unexpected record {record} for {written}")


ALREADY_POINTED = "left alone: its device URI already uses the driver's backend"


def expected_journal(queue, ppd, uri):
    """The agent's lines for a queue it handled: a re-pointed one is looked at once more
    when lpadmin has rewritten its PPD."""
    backend_uri = expected_backend_uri(queue, uri)
    if ppd != FAMILY:
        return ["left alone: not of the driver family"]
    if backend_uri is not None:
        return [f"re-pointed to {backend_uri}", ALREADY_POINTED]
    if uri.startswith("xvtdbmu://"):
        return [ALREADY_POINTED]
    if any(uri.startswith(prefix) for prefix, _, _ in ADDRESS_RULES):
        return ["left alone: too long: its backend URI would exceed 1023 bytes"]
    return [f"left alone: no rule for device URI {uri}"]


def test_edge_table(run):
    check_reference()
    road = Road(run)
    for row in AT_START:
        add_queue(*row)
    before = device_uris()
    agent = road.start_agent()

    add_at_once(NEW_QUEUES)
    handled = [row for row in NEW_QUEUES if is_handled(row)]
    wait_repointed([row[0] for row in handled], 30.0)
    # A PPD given anew is a changed queue, also for one present at start-up.
    add_queue(*AT_START[1])
    add_queue(*AT_START[2])
    wait_repointed(["Reloaded"], 15.0)
    # The passes that the agent's own lpadmin calls bring must find nothing more to do.
    agent.stay_alive(TWO_TICKS)

    failures = []
    groups = road.plugin_groups()
    for row in handled + [AT_START[1]]:
        queue, _, uri = row
        try:
            check_repointed_once(road, queue, uri)
            check_record_reads_back(run, queue, uri)
            if connection_type_of(expected_backend_uri(queue, uri)) == "USB":
                check(
                    queue not in groups,
                    f"{queue!r}: the plug-in was called: {groups.get(queue)}",
                )
            else:
                check_plugin_group(groups.get(queue, []), queue)
        except TestFailure as failure:
            failures.append(str(failure))
    for queue, _, uri in [r for r in NEW_QUEUES if not is_handled(r)] + [AT_START[0], AT_START[2]]:
        calls = road.calls_for(queue)
        if calls or device_uri(queue) != before.get(queue, uri):
            failures.append(f"{queue!r} was touched: {device_uri(queue)}, lpadmin {calls}")
        if queue in groups:
            failures.append(f"{queue!r}: the plug-in was called")
    journal = agent.journal()
    for queue, ppd, uri in NEW_QUEUES + AT_START[1:]:
        if journal.pop(queue, None) != expected_journal(queue, ppd, uri):
            failures.append(f"{queue!r}: journal {agent.journal().get(queue)}")
    if journal:
        failures.append(f"journal lines for queues not handled: {journal}")
    check(not failures, "\n".join(failures))
    check(alerts() == [], f"alerts with a working plug-in: {alerts()}")
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    check_no_admin_line(agent)
    quit_cleanly(agent)


def test_one_interval(run):
    road = Road(run)
    agent = road.start_agent()
    for i in range(4):
        queue = f"Prompt{i}"
        agent.stay_alive(0.7 * i)  # at different points of the interval
        added = add_at_once([(queue, FAMILY, f"socket://10.0.1.{i + 1}")])[queue]
        seen = wait_repointed([queue], 15.0)[queue]
        check(
            seen - added <= REPOINT_LIMIT,
            f"{queue} re-pointed {seen - added:.2f}s after it was added (limit {REPOINT_LIMIT:g}s)",
        )
    agent.stay_alive(TWO_TICKS)
    for i in range(4):
        check_repointed_once(road, f"Prompt{i}", f"socket://10.0.1.{i + 1}")
    quit_cleanly(agent)


def delays_a_second_apart(run, prefix, env=None):
    """Three queues added a second apart, so that one of them comes at least two seconds
    before the timer's next tick; how long each took to be re-pointed."""
    road = Road(run)
    road.env.update(env or {})
    agent = road.start_agent()
    rows = [(f"{prefix}{i}", FAMILY, f"socket://10.0.11.{i + 1}") for i in range(3)]
    added, seen, first = {}, {}, time.monotonic()

    def look():
        now = time.monotonic()
        for queue, uri in device_uris().items():
            if queue in added and (uri or "").startswith("xvtdbmu://"):
                seen.setdefault(queue, now)
        return len(seen) == len(rows)

    for i, row in enumerate(rows):
        while time.monotonic() < first + i:
            look()
            time.sleep(0.02)
        added.update(add_at_once([row]))
    wait_for(look, 15.0, "the queues to be re-pointed", interval=0.02)
    agent.stay_alive(TWO_TICKS)
    for queue, _, uri in rows:
        check_repointed_once(road, queue, uri)
    quit_cleanly(agent)
    return [seen[queue] - added[queue] for queue, _, _ in rows]


def test_before_the_tick(run):
    delays = delays_a_second_apart(run, "Eager")
    check(max(delays) < TICK_SECONDS / 2, f"re-pointed after {delays}: not before the tick")


def test_timer_without_events(run):
    # The folder's events switched off, as where the file system has none: the timer alone.
    delays = delays_a_second_apart(run, "Patient", {"ZELCUPS_TESTING_TIMER_ONLY": "1"})
    check(max(delays) <= REPOINT_LIMIT, f"re-pointed after {delays} (limit {REPOINT_LIMIT:g}s)")
    check(max(delays) > TICK_SECONDS / 2, f"re-pointed after {delays}: the events were not off")

# --- hostile names and device URIs ----------------------------------------------------

# Each would run a command, create a file or expand to something else, given to a shell.
HOSTILE_NAMES = (
    "h01;touch${IFS}pwned01",
    "h02$(touch${IFS}pwned02)",
    "h03`touch${IFS}pwned03`",
    "h04|touch${IFS}pwned04",
    "h05&&touch${IFS}pwned05",
    "h06&touch${IFS}pwned06&",
    "h07(touch${IFS}pwned07)",
    "h08>pwned08",
    "h09<>pwned09",
    "h10>>pwned10",
    "h11*",
    "h12!!",
    "h13!-1",
    "h14;$HOME",
    "h15$((6*7))",
    "h16${PATH}",
    "h17)(",
    "h18|tee${IFS}pwned18",
    "h19$(id>pwned19)",
    "h20<script>",
    "h21~root",
    "h22[a-z]*",
    "h23{a,b}",
    "h24%3B%24%28",
    "h26=;a=b",
    "h27:colon",
    "h28^pwned",
    "h29$IFS$9",
    "h30<<EOF",
    "h31&>pwned31",
    "h32!;`",
)
# Device URIs the scheduler accepts that hold the same characters, spaces as escapes.
HOSTILE_URIS = (
    "socket://10.0.0.5",
    "lpd://10.0.0.5;touch/q",
    "socket://10.0.0.5$(id)",
    "socket://host&name:9100",
    "lpd://10.0.0.5/q%3Btouch%20%2Ftmp%2Fzelcups-pwned",
    "ipp://10.0.0.5/ipp/print?x=`id`",
    "usb://Arvex/QRX5?serial=1>/tmp/zelcups-pwned",
    "usb://Arvex/QRX5?serial=*!",
    "dnssd://Evil%3Btouch%20%2Ftmp%2Fzelcups-pwned._ipp._tcp.local./",
    "mdns://Evil%24%28id%29._ipp._tcp.local./",
)


def marker_files():
    found = os.listdir(WORK + "/cwd")
    for folder in ("/tmp", "/", runtime_dir(), os.path.expanduser(f"~{SESSION_USER}")):
        found += [os.path.join(folder, n) for n in os.listdir(folder) if "pwned" in n]
    return found


def test_hostile(run):
    road = Road(run)
    agent = road.start_agent()
    rows = [
        (name, FAMILY, HOSTILE_URIS[i % len(HOSTILE_URIS)]) for i, name in enumerate(HOSTILE_NAMES)
    ]
    check(len(rows) >= 30, "too few hostile queues")
    add_at_once(rows)
    wait_repointed([row[0] for row in rows], 60.0)
    agent.stay_alive(TWO_TICKS)
    failures = []
    groups = road.plugin_groups()
    for queue, _, uri in rows:
        try:
            check_repointed_once(road, queue, uri)
            usb = connection_type_of(expected_backend_uri(queue, uri)) == "USB"
            check(usb != (queue in groups), f"{queue!r}: plug-in calls {groups.get(queue)}")
        except TestFailure as failure:
            failures.append(str(failure))
    check(not failures, "\n".join(failures))
    check(marker_files() == [], f"a command in a name or URI ran: {marker_files()}")
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)


def test_non_ascii_name(run):
    # The scheduler takes such names ("Büro" on a German desktop), but no URI with bytes
    # outside ASCII: the backend URI must carry the name in a form it takes.
    road = Road(run)
    agent = road.start_agent()
    queue = "B\u00fcro-\u20ac"
    add_queue(queue, FAMILY, "socket://10.0.8.1")
    wait_for(lambda: road.calls_for(queue), REPOINT_LIMIT + 1.0, f"lpadmin for {queue}")
    agent.stay_alive(TWO_TICKS)
    calls = road.calls_for(queue)
    check(len(calls) == 1, f"lpadmin ran {len(calls)} times for {queue}")
    uri = device_uri(queue)
    check(
        uri.startswith("xvtdbmu://ZEL_QRX5_LPR/") and uri.endswith("/lpd://10.0.8.1"),
        f"{queue} not re-pointed: {uri}; lpadmin was given {calls[0]['argv']}",
    )
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)


# --- many at once, a quit in the middle, the scheduler away ---------------------------


def test_burst(run):
    road = Road(run)
    agent = road.start_agent()
    rows = [(f"Burst-{i:03d}", FAMILY, f"socket://10.0.2.{i + 1}") for i in range(100)]
    add_at_once(rows)
    wait_repointed([row[0] for row in rows], 120.0)
    agent.stay_alive(TWO_TICKS)
    failures = []
    for queue, _, uri in rows:
        try:
            check_repointed_once(road, queue, uri)
        except TestFailure as failure:
            failures.append(str(failure))
    check(not failures, f"{len(failures)} of 100 queues:\n" + "\n".join(failures[:10]))
    check(len(road.plugin_groups()) == 100, f"plug-in steps: {len(road.plugin_groups())}")
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)


def test_quit_in_a_tick(run):
    road = Road(run, hold=True)
    agent = road.start_agent()
    add_queue("Held", FAMILY, "socket://10.0.3.1")
    # The tick now waits for lpadmin, which waits for the test; the copy is in use.
    wait_for(lambda: road.calls_for("Held"), 15.0, "lpadmin for Held")
    ppd_path = road.calls_for("Held")[0]["argv"][-1]
    check(os.path.exists(ppd_path), f"the PPD copy {ppd_path} is gone while lpadmin runs")
    # Released well within the half second the agent gives a running lpadmin after a quit.
    agent.process.send_signal(signal.SIGTERM)
    time.sleep(0.1)
    road.release()
    wait_for(lambda: not agent.alive(), 15.0, f"{agent.label} to quit")
    check(agent.process.returncode == 0, f"{agent.label} ended with {agent.describe_status()}")
    # lpadmin had its PPD to the end: the queue is re-pointed, and the copy is gone.
    check_repointed_once(road, "Held", "socket://10.0.3.1")
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")


def test_scheduler_away(run):
    road = Road(run)
    agent = road.start_agent()
    # The queue and the scheduler's absence must both be there when the tick looks: the
    # agent is held still meanwhile.
    os.kill(agent.pid, signal.SIGSTOP)
    try:
        add_queue("Lonely", FAMILY, "socket://10.0.4.1")
        ppd_time = os.stat(f"{PPD_DIR}/Lonely.ppd").st_mtime_ns
        stop_scheduler()
    finally:
        os.kill(agent.pid, signal.SIGCONT)
    agent.stay_alive(TWO_TICKS)
    check(road.calls_for("Lonely") == [], f"lpadmin ran without a scheduler: {road.calls()}")
    check(road.leftovers() == [], f"left behind after the failed lookup: {road.leftovers()}")

    start_scheduler()
    check(os.stat(f"{PPD_DIR}/Lonely.ppd").st_mtime_ns == ppd_time, "the scheduler rewrote the PPD")
    agent.stay_alive(TWO_TICKS)
    check(road.calls_for("Lonely") == [], f"retried with its PPD unchanged: {road.calls()}")
    check(device_uri("Lonely") == "socket://10.0.4.1", f"Lonely: {device_uri('Lonely')}")

    add_queue("Lonely", FAMILY, "socket://10.0.4.1")
    wait_repointed(["Lonely"], REPOINT_LIMIT + 1.0)
    agent.stay_alive(TWO_TICKS)
    check_repointed_once(road, "Lonely", "socket://10.0.4.1")
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)


def test_restart(run):
    # Killed (or restarted by its unit), the agent comes back in the same session and
    # handles what came meanwhile, once; a new session's agent starts from what is there.
    road = Road(run)
    add_queue("Before", FAMILY, "socket://10.0.11.1")
    road.start_agent().stop(signal.SIGKILL)
    add_queue("Meanwhile", FAMILY, "socket://10.0.11.2")
    agent = road.start_agent()
    wait_repointed(["Meanwhile"], REPOINT_LIMIT + 1.0)
    agent.stay_alive(TWO_TICKS)
    check_repointed_once(road, "Meanwhile", "socket://10.0.11.2")
    check(road.calls_for("Before") == [], f"Before was handled: {road.calls_for('Before')}")
    agent.stop(signal.SIGKILL)
    new_session()
    add_queue("Fresh", FAMILY, "socket://10.0.11.3")
    agent = road.start_agent()
    agent.stay_alive(TWO_TICKS)
    check(road.calls_for("Fresh") == [], f"Fresh, there at the session's start: {road.calls()}")
    check(agent.output() == "", f"{agent.label} said: {agent.output()}")
    quit_cleanly(agent)


def test_machine_record(run):
    # Two administrators logged in share the machine's record: each new queue is handled
    # by one agent, once, with one line; one added while nobody is logged in is handled at
    # the next login.
    road = Road(run)
    road.machine_folder()
    add_to_group(OUTSIDER_USER, "lpadmin")
    add_queue("Before", FAMILY, "socket://10.0.21.1")
    agents = [road.start_agent(), road.start_agent(OUTSIDER_USER)]
    check(all("machine folder" not in a.output(machine_line=True) for a in agents),
          f"start-up said: {[a.output(machine_line=True) for a in agents]}")
    rows = [(f"Shared-{i}", FAMILY, f"socket://10.0.21.{i + 2}") for i in range(6)]
    rng = random.Random(27)
    for row in rows:
        time.sleep(rng.uniform(0.0, 1.0))
        add_queue(*row)
    wait_repointed([row[0] for row in rows], 30.0)
    agents[0].stay_alive(TWO_TICKS)
    lines = {}
    for agent in agents:
        for queue, said in agent.journal().items():
            lines.setdefault(queue, []).extend(said)
    for queue, _, uri in rows:
        check(len(road.calls_for(queue)) == 1, f"{queue}: lpadmin {road.calls_for(queue)}")
        check(lines.get(queue) == [f"re-pointed to {expected_backend_uri(queue, uri)}"],
              f"{queue}: journals {lines.get(queue)}")
    check(sorted(road.plugin_groups()) == [row[0] for row in rows],
          f"plug-in steps: {road.plugin_groups()}")
    check("Before" not in lines, f"Before was handled: {lines.get('Before')}")
    for agent in agents:
        quit_cleanly(agent)
    new_session()
    add_queue("Meanwhile", FAMILY, "socket://10.0.21.20")
    agent = road.start_agent()
    wait_repointed(["Meanwhile"], REPOINT_LIMIT + 1.0)
    agent.stay_alive(TWO_TICKS)
    check_repointed_once(road, "Meanwhile", "socket://10.0.21.20")
    check(agent.journal().keys() == {"Meanwhile"}, f"{agent.label}: {agent.journal()}")
    quit_cleanly(agent)


# --- the alert (no plug-in) -----------------------------------------------------------


def test_alert_answered(run):
    road = Road(run)
    check(not os.path.exists(PLUGIN_PATH), "this case runs without a plug-in")
    fresh_notification_service()
    agent = road.start_agent()
    rows = [("AlertA", FAMILY, "socket://10.0.5.1"), ("AlertB", FAMILY, "lpd://10.0.5.2/q"),
            ("AlertUsb", FAMILY, "usb://Arvex/QRX5?serial=5")]
    add_in_one_tick(agent, rows)
    wait_for(lambda: len(alerts()) >= 1, TWO_TICKS, "the first alert")
    # One alert per network queue, in the order the tick met them.
    network = {"AlertA", "AlertB"}
    check_alert_form(alerts()[0], run, alerts()[0][4] if alerts()[0][4] in network else "AlertA")
    # While it waits for an answer nothing else is shown, not even a status notice.
    post_status(DEFAULT_NOTIFICATION_OBJECT, "{'State': <int32 1000>, 'Message': <'meanwhile'>}")
    agent.stay_alive(TICK_SECONDS)
    check(
        len(alerts()) == 1 and status_notices() == [],
        f"shown while waiting: {notification_calls('Notify')}",
    )

    first = alert_ids()[0]
    # What the service says about other notices is not an answer to this one.
    emit_notification_signal("ActionInvoked", "us", [first + 100, "default"])
    emit_notification_signal("NotificationClosed", "uu", [first + 101, 2])
    agent.stay_alive(1.0)
    check(len(alerts()) == 1, f"another notice's signals ended the wait: {alerts()}")
    emit_notification_signal("ActionInvoked", "us", [first, "default"])
    wait_for(lambda: len(alerts()) >= 2, 10.0, "the second alert after the first was answered")
    check_alert_form(alerts()[1], run, (network - {alerts()[0][4]}).pop())
    closes = [args[0] for _, args in notification_calls("CloseNotification")]
    check(first in closes, f"the answered alert was not closed: {closes}")
    agent.stay_alive(1.0)
    # Held while the first alert waited, the notice is shown once it is answered, between
    # the two queues, before the second alert.
    shown = [args[4] for _, args in notification_calls("Notify")]
    check(status_notices() == ["meanwhile"] and shown.index("meanwhile") == len(shown) - 2,
          f"the notice held by the first alert: {notification_calls('Notify')}")

    emit_notification_signal("ActionInvoked", "us", [alert_ids()[1], "default"])
    wait_for(lambda: status_notices() == ["meanwhile"], 10.0, "the status notice after the alerts")
    agent.stay_alive(TWO_TICKS)
    check(len(alerts()) == 2, f"{len(alerts())} alerts for two network queues and a USB one")
    for queue, _, uri in rows:
        check_repointed_once(road, queue, uri)
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)
    print("FIGURE plugin_missing: 2 alerts for 2 network queues, answered one after the "
          "other; 3/3 re-pointed once; agent exit 0", flush=True)


def test_alert_closed_or_gone(run):
    road = Road(run)
    fresh_notification_service()
    agent = road.start_agent()
    add_in_one_tick(
        agent, [("GoneA", FAMILY, "socket://10.0.6.1"), ("GoneB", FAMILY, "socket://10.0.6.2")]
    )
    wait_for(lambda: len(alerts()) >= 1, TWO_TICKS, "the first alert")
    # Closed without an answer: the wait ends all the same.
    emit_notification_signal("NotificationClosed", "uu", [alert_ids()[0], 2])
    wait_for(lambda: len(alerts()) >= 2, 10.0, "the second alert after the first was closed")
    # The service leaves the bus: the wait ends, and the agent goes on.
    stop_notification_service()
    agent.stay_alive(1.0)
    start_notification_service()
    post_status(DEFAULT_NOTIFICATION_OBJECT, "{'State': <int32 1000>, 'Message': <'back'>}")
    wait_for(
        lambda: "back" in status_notices(), 10.0, "a status notice after the service came back",
    )
    add_queue("GoneC", FAMILY, "socket://10.0.6.3")
    wait_for(lambda: len(alerts()) >= 1, REPOINT_LIMIT + 1.0, "the alert for a queue added later")
    emit_notification_signal("ActionInvoked", "us", [alert_ids()[0], "default"])
    agent.stay_alive(TICK_SECONDS)
    for queue, uri in (("GoneA", "socket://10.0.6.1"), ("GoneB", "socket://10.0.6.2"),
                       ("GoneC", "socket://10.0.6.3")):
        check_repointed_once(road, queue, uri)
    quit_cleanly(agent)
    print("FIGURE notification_service_stopped_during_alert: the wait ends when the service "
          "leaves; 3/3 re-pointed once; notices shown once it is back; agent exit 0", flush=True)


def test_plugin_fails(run):
    road = Road(run)
    fresh_notification_service()
    agent = road.start_agent()
    try:
        # The options are not made, though a handle was handed out: the alert, then the
        # handle and the instance are given back.
        install_plugin_atomically(run.fixture("plugin_options_fail"))
        add_queue("Failing", FAMILY, "socket://10.0.10.1")
        wait_for(lambda: alerts(), REPOINT_LIMIT + 1.0, "the alert for Failing")
        group = road.plugin_groups().get("Failing", [])
        check(
            len(group) == 3 and group[1].startswith("Info_CreateUpdatedOptions "),
            f"plug-in calls before the answer: {group}",
        )
        emit_notification_signal("ActionInvoked", "us", [alert_ids()[0], "default"])
        wait_for(lambda: len(road.plugin_groups().get("Failing", [])) == 5, 5.0,
                 "the plug-in's handle and instance given back")
        check_plugin_group(road.plugin_groups()["Failing"], "Failing")

        # No instance at all: the alert, and no options asked for (the bridge itself tells
        # the plug-in to end its failed start).
        install_plugin_atomically(run.fixture("plugin_init_null"))
        add_queue("NoInstance", FAMILY, "socket://10.0.10.2")
        wait_for(lambda: len(alerts()) >= 2, REPOINT_LIMIT + 1.0, "the alert for NoInstance")
        emit_notification_signal("ActionInvoked", "us", [alert_ids()[1], "default"])
        agent.stay_alive(TICK_SECONDS)
        group = road.plugin_groups().get("NoInstance", [])
        check(
            len(group) == 2
            and group[0].endswith("-> 0x0")
            and group[1].startswith("Info_Terminate 0x0 "),
            f"plug-in calls: {group}",
        )
        check(len(alerts()) == 2, f"{len(alerts())} alerts for two queues")
        check_repointed_once(road, "Failing", "socket://10.0.10.1")
        check_repointed_once(road, "NoInstance", "socket://10.0.10.2")
        quit_cleanly(agent)
        print("FIGURE plugin_init_null: 1 alert, the failed start ended, re-pointed once; "
              "options failing: 1 alert, handle and instance given back, re-pointed once; "
              "agent exit 0", flush=True)
    finally:
        os.unlink(PLUGIN_PATH)


def test_quit_during_alert(run):
    # Logging out asks the agent to quit; an alert no one will answer must not hold the
    # session's end until the agent is killed (which would leave its PPD copy behind).
    road = Road(run)
    agent = road.start_agent()
    add_queue("Waiting", FAMILY, "socket://10.0.9.1")
    wait_for(lambda: alerts(), REPOINT_LIMIT + 1.0, "the alert")
    status, seconds = agent.stop(signal.SIGTERM, timeout=5.0)
    check(status == 0, f"{agent.label} quit with {agent.describe_status()}")
    check(seconds < 2.0, f"{agent.label} took {seconds:.2f}s to quit while the alert waited")
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")


# --- a user who may not administer printers -------------------------------------------


def test_outsider(run):
    check(SESSION_USER != ADMIN_USER, "this case runs in scripts/sandbox --outsider")
    road = Road(run)
    agent = road.start_agent()
    wait_for(lambda: agent.output().strip(), 5.0, "the start-up line")
    lines = agent.output().splitlines()
    check(len(lines) == 1, f"start-up wrote {lines}")
    check(
        f"user {SESSION_USER}" in lines[0] and "lpadmin" in lines[0],
        f"start-up line {lines[0]!r}",
    )

    log = "/var/log/cups/error_log"

    def errors():
        return [ln for ln in open(log, encoding="utf-8")] if os.path.exists(log) else []

    before = errors()
    add_queue("Outside", FAMILY, "socket://10.0.7.1")
    wait_for(lambda: agent.journal(), REPOINT_LIMIT + 1.0, "the agent's line for Outside")
    cpu = agent.cpu_seconds()
    agent.stay_alive(3 * TICK_SECONDS)
    # Nothing that the scheduler would refuse is tried, and nothing is asked of the user.
    check(road.calls() == [], f"lpadmin ran: {road.calls()}")
    check(alerts() == [], f"alerts: {alerts()}")
    check(errors() == before, f"the scheduler's log: {errors()[len(before):]}")
    check(
        agent.journal() == {"Outside": ["left alone: the user may not administer printers"]},
        f"journal {agent.journal()}",
    )
    check(device_uri("Outside") == "socket://10.0.7.1", f"Outside: {device_uri('Outside')}")
    spent = agent.cpu_seconds() - cpu
    check(spent < IDLE_CPU_LIMIT, f"{spent:.2f}s of CPU in {3 * TICK_SECONDS:g}s")
    # Rewritten, as an administrator's agent does a moment later: told once is enough.
    add_queue("Outside", FAMILY, "socket://10.0.7.1")
    agent.stay_alive(TWO_TICKS)
    check(len(agent.journal()["Outside"]) == 1, f"journal {agent.journal()}")

    post_status(DEFAULT_NOTIFICATION_OBJECT, "{'State': <int32 1000>, 'Message': <'Toner low'>}")
    wait_for(lambda: status_notices() == ["Toner low"], 10.0, "the status notice")
    # Let in while the session runs: the next new queue is set up.
    add_to_group(OUTSIDER_USER, "lpadmin")
    add_queue("Inside", FAMILY, "socket://10.0.7.2")
    wait_repointed(["Inside"], REPOINT_LIMIT + 1.0)
    agent.stay_alive(TWO_TICKS)
    check_repointed_once(road, "Inside", "socket://10.0.7.2")
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)


if __name__ == "__main__":
    from zelcups_e2e import main

    main(globals())
