"""Faults the agent must survive, end to end, each case printing its figure on a line of
its own ("FIGURE name: ..."). For every one the rule is that nothing is lost: each queue of
the driver family that can be re-pointed is re-pointed exactly once, when its PPD first
changes after the fault is over if its handling failed during the fault, and the agent
keeps running and quits with status 0.

The agent's surroundings (the recording lpadmin first on PATH, the recording plug-in,
the work folder) are those of the queue road (zelcups_e2e.Road).

Fixtures (--fixture NAME=PATH): lpadmin, share, plugin_fifteen (a plug-in lacking one
entry point), plugin_full (a complete plug-in, of which a cut copy is made)."""

import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zelcups_e2e as e2e  # noqa: E402
from zelcups_e2e import (  # noqa: E402
    FAMILY, OTHER, PLUGIN_PATH, REPOINT_LIMIT, TWO_TICKS, WORK, Road, add_at_once,
    add_in_one_tick, alert_ids, alerts, check_alert_form, check_repointed_once,
    expected_backend_uri, fresh_notification_service, install_plugin_atomically, wait_repointed,
    quit_cleanly, status_notices, NoticeLog, post_batch, random_post, BACKEND_PATH,
    DEBIAN_USER_PATH, DEFAULT_NOTIFICATION_OBJECT, TICK_SECONDS, PPD_DIR, StatusPoster,
    TestFailure, add_queue, check, device_uri, device_uris, emit_notification_signal,
    notification_calls, notices, notification_service_running, remove_queue, run as run_command,
    start_notification_service, start_scheduler, stop_notification_service, stop_scheduler,
    wait_for,
)

OBJECT = DEFAULT_NOTIFICATION_OBJECT


def figure(name, text):
    print(f"FIGURE {name}: {text}", flush=True)


def initializations(road, queue):
    """How many times the plug-in was started for the queue."""
    try:
        with open(road.plugin_log, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return 0
    return sum(
        1 for line in lines if line.startswith("Info_Initialize [") and f"] [{queue}] [" in line
    )


def check_left_alone(road, queue, uri):
    calls = road.calls_for(queue)
    check(calls == [], f"{queue!r}: lpadmin ran: {[c['argv'] for c in calls]}")
    check(device_uri(queue) == uri, f"{queue!r}: device URI {device_uri(queue)!r:.200}")
    check(initializations(road, queue) == 0, f"{queue!r}: the plug-in was started")


def check_last_call(road, queue, uri, calls_before):
    """The queue was handled once more after its PPD changed (calls_before calls earlier,
    none of which took), and now has its backend URI."""
    calls = road.calls_for(queue)
    expected = expected_backend_uri(queue, uri)
    check(
        len(calls) == calls_before + 1,
        f"{queue!r}: lpadmin ran {len(calls) - calls_before} times after its PPD changed",
    )
    check(calls[-1]["argv"][:5] == ["lpadmin", "-p", queue, "-v", expected],
          f"{queue!r}: lpadmin argv {calls[-1]['argv']}")
    check(device_uri(queue) == expected, f"{queue!r}: device URI {device_uri(queue)}")


def post_text(text):
    run_command(
        "gdbus", "emit", "--session", "--object-path", "/com/arvex/DistributedNotifications",
        "--signal", "com.arvex.DistributedNotifications.Notification", "'PMNotification'",
        f"'{OBJECT}'", f"{{'State': <int32 1000>, 'Message': <'{text}'>}}", user="desk",
    )


def notice_delay(agent, text):
    """Posts `text` while the agent is busy and returns how long it took to be shown, which
    must be within a second: the agent's work does not hold the notices."""
    posted = time.monotonic()
    post_text(text)
    wait_for(lambda: text in status_notices(), 1.0, f"'{text}' shown while the agent works")
    check(agent.alive(), agent.describe_status())
    return time.monotonic() - posted


def listening(agent):
    """Posts until one notice is shown: the agent observes status posts from then on.
    Returns once the last of these posts is shown too, so that none comes later."""
    posts = iter(range(1, 1000))

    def shown():
        post_text(f"warm-up {next(posts)}")
        return any(args[4].startswith("warm-up") for args in notices())

    wait_for(shown, 10.0, f"{agent.label} to observe status posts", interval=0.2)
    post_text("warm-up end")
    wait_for(lambda: any(args[4] == "warm-up end" for args in notices()), 10.0,
             "the last warm-up notice")


# --- the scheduler --------------------------------------------------------------------


def test_scheduler_stopped_mid_burst(run):
    road = Road(run)
    agent = road.start_agent()
    rows = [(f"Mid-{i:02d}", FAMILY, f"socket://10.0.11.{i + 1}") for i in range(50)]
    # All fifty in one tick, so that the scheduler goes while that tick works through them.
    os.kill(agent.pid, signal.SIGSTOP)
    try:
        add_at_once(rows)
    finally:
        os.kill(agent.pid, signal.SIGCONT)
    wait_for(lambda: len(road.calls()) >= 10, 60.0, "ten queues re-pointed")
    stop_scheduler()
    agent.stay_alive(TWO_TICKS)
    start_scheduler()
    agent.stay_alive(TWO_TICKS)
    uris = device_uris()
    done = [r for r in rows if uris.get(r[0], "").startswith("xvtdbmu://")]
    left = [r for r in rows if r not in done]
    before = {r[0]: len(road.calls_for(r[0])) for r in rows}
    check(left, "every queue was re-pointed before the scheduler went: not in mid-burst")
    failed_calls = sum(before[r[0]] for r in left)
    check(all(before[r[0]] <= 1 for r in left), f"retried without a change: {before}")

    # Nothing comes back by itself while the PPDs stay as they are ...
    agent.stay_alive(TWO_TICKS)
    check({r[0]: len(road.calls_for(r[0])) for r in rows} == before, "retried unchanged")
    # ... and each queue left alone is handled once its PPD changes.
    for row in left:
        add_queue(*row)
    wait_repointed([r[0] for r in left], 60.0)
    agent.stay_alive(TWO_TICKS)
    failures = []
    for queue, _, uri in rows:
        try:
            if (queue, FAMILY, uri) in done:
                check_repointed_once(road, queue, uri)
            else:
                check_last_call(road, queue, uri, before[queue])
        except TestFailure as failure:
            failures.append(str(failure))
    check(not failures, "\n".join(failures[:10]))
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)
    figure(
        "scheduler_stopped_mid_burst",
        f"{len(done)}/50 re-pointed once before the stop, {len(left)}/50 left alone "
        f"({failed_calls} lpadmin calls refused while it went) and re-pointed once after "
        f"their PPD changed; 50/50 re-pointed, agent exit 0",
    )


def test_ppd_dir_recreated(run):
    road = Road(run)
    add_queue("Before", FAMILY, "socket://10.0.12.1")
    add_queue("Lobby", OTHER, "socket://10.0.12.2")
    lobby = device_uri("Lobby")
    agent = road.start_agent()

    # Removed, then created again empty: the queues of the old folder are not seen until
    # their PPD is written again.
    shutil.rmtree(PPD_DIR)
    agent.stay_alive(TWO_TICKS)
    os.mkdir(PPD_DIR, 0o755)
    agent.stay_alive(TWO_TICKS)
    check(road.calls() == [], f"lpadmin ran without PPDs: {road.calls()}")
    add_queue("After", FAMILY, "socket://10.0.12.3")
    add_queue("Before", FAMILY, "socket://10.0.12.1")
    add_queue("Lobby", OTHER, "socket://10.0.12.2")
    wait_repointed(["After", "Before"], 15.0)

    # Moved away and back with a queue the agent never saw: back, every queue in it is new.
    os.kill(agent.pid, signal.SIGSTOP)
    try:
        add_queue("Moved", FAMILY, "socket://10.0.12.4")
        os.rename(PPD_DIR, PPD_DIR + ".away")
    finally:
        os.kill(agent.pid, signal.SIGCONT)
    agent.stay_alive(TWO_TICKS)
    check(road.calls_for("Moved") == [], "Moved handled without its folder")
    os.rename(PPD_DIR + ".away", PPD_DIR)
    wait_repointed(["Moved"], 15.0)
    agent.stay_alive(TWO_TICKS)

    for queue, uri in (("Before", "socket://10.0.12.1"), ("After", "socket://10.0.12.3"),
                       ("Moved", "socket://10.0.12.4")):
        check_repointed_once(road, queue, uri)
    check(road.calls_for("Lobby") == [] and device_uri("Lobby") == lobby, "Lobby touched")
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)
    figure(
        "ppd_dir_recreated",
        "removed and created empty: 0 lpadmin calls, then 2/2 re-pointed once when their "
        "PPDs came; moved away and back: 1/1 unseen queue re-pointed once; other maker "
        "untouched; agent exit 0",
    )


def test_longest_device_uri(run):
    road = Road(run)
    agent = road.start_agent()
    # The scheduler keeps device URIs of up to 1023 bytes and cuts longer ones to that.
    longest = 1023
    add_queue("Probe", FAMILY, "lpd://10.0.0.5/" + "p" * longest)
    check(len(device_uri("Probe")) == longest, f"the scheduler kept {len(device_uri('Probe'))}")
    remove_queue("Probe")

    def fill(prefix, suffix=""):
        return prefix + "a" * (longest - len(prefix) - len(suffix)) + suffix

    rows = [
        ("LongLpd", FAMILY, fill("lpd://10.0.0.5/")),
        ("LongSocket", FAMILY, fill("socket://10.0.0.5:9100/")),
        ("LongUsb", FAMILY, fill("usb://Arvex/QRX5?serial=")),
        ("LongLinkLocal", FAMILY, fill("lpd://[v1.fe80::1]/")),
        ("LongV6", FAMILY, fill("ipp://[2001:db8::5]:631/")),
        ("LongDnssd", FAMILY, fill("dnssd://A", "._ipp._tcp.local./")),
        ("LongEscapes", FAMILY, fill("lpd://10.0.0.5/", "%ff")),
        # Escaped for the command line, the address outgrows 1023 bytes before the path
        # that is not text would be dropped: left alone, as nothing is cut short.
        ("LongParens", FAMILY, fill("lpd://10.0.0.5/", "(%ff)")),
    ]
    check(all(len(uri) == longest for _, _, uri in rows), "a URI of another length")
    # All but one get backend URIs that do not fit; the one whose path is not text loses
    # its path and fits.
    fitting = [r for r in rows if r[0] == "LongEscapes"]
    check(expected_backend_uri(*fitting[0][::2]) is not None, "LongEscapes does not fit")
    check(all(expected_backend_uri(q, u) is None for q, _, u in rows if q[4:] not in
              ("Escapes", "Parens")), "a URI that fits")
    add_at_once(rows)
    # The folder's events may let the agent re-point the fitting one before this look.
    for queue, _, uri in rows:
        check(device_uri(queue) == uri or queue == "LongEscapes",
              f"{queue}: the scheduler changed the URI")
    # Ticks handle queues one after another: once a queue added later is done, so are these.
    agent.stay_alive(TWO_TICKS)
    add_queue("AfterLong", FAMILY, "socket://10.0.15.1")
    wait_repointed(["AfterLong"], REPOINT_LIMIT + 1.0)
    agent.stay_alive(TWO_TICKS)
    for queue, _, uri in rows:
        if (queue, FAMILY, uri) in fitting:
            check_repointed_once(road, queue, uri)
        else:
            check_left_alone(road, queue, uri)
    check_repointed_once(road, "AfterLong", "socket://10.0.15.1")
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)
    figure(
        "longest_device_uri",
        f"{len(rows)} queues with device URIs of {longest} bytes (the scheduler's largest): "
        f"{len(rows) - len(fitting)} left alone, as their backend URIs do not fit, "
        f"{len(fitting)} whose path is not text re-pointed once without it; the next queue "
        "re-pointed once; agent exit 0",
    )


# --- lpadmin --------------------------------------------------------------------------


def test_lpadmin_off_path(run):
    # Started as a session starts it on Debian: an ordinary user's PATH, no sbin folder in
    # it, and the real lpadmin, which lives in one.
    road = Road(run)
    road.env["PATH"] = DEBIAN_USER_PATH
    agent = road.start_agent()
    add_queue("OffPath", FAMILY, "socket://10.0.13.1")
    wait_repointed(["OffPath"], REPOINT_LIMIT + 1.0)
    expected = expected_backend_uri("OffPath", "socket://10.0.13.1")
    check(device_uri("OffPath") == expected, f"OffPath: {device_uri('OffPath')}")
    check(agent.journal()["OffPath"][0] == f"re-pointed to {expected}", f"{agent.journal()}")
    check(road.calls() == [], f"the recording lpadmin ran: {road.calls()}")
    quit_cleanly(agent)
    figure("lpadmin_off_path", f"PATH {DEBIAN_USER_PATH}: /usr/sbin/lpadmin run, 1/1 re-pointed")


def test_backend_missing(run):
    # The scheduler refuses the backend's URIs until the driver's backend is installed:
    # told at start-up and for the queue, with the scheduler's own words, and no alert.
    # Its standard error is the journal here: each line carries its level.
    road = Road(run)
    road.env["JOURNAL_STREAM"] = "the log"
    fresh_notification_service()
    os.rename(BACKEND_PATH, BACKEND_PATH + ".away")
    try:
        agent = road.start_agent()
        check("backend is installed" in agent.output(), f"start-up said: {agent.output()}")
        add_queue("NoBackend", FAMILY, "socket://10.0.17.1")
        wait_for(lambda: agent.journal(), REPOINT_LIMIT + 1.0, "the line for NoBackend")
        agent.stay_alive(TICK_SECONDS)
    finally:
        os.rename(BACKEND_PATH + ".away", BACKEND_PATH)
    line = agent.journal()["NoBackend"]
    check(line[0].startswith("left alone: lpadmin failed (status 1): ") and
          "device-uri" in line[0] and len(line) == 1, f"journal: {line}")
    check(device_uri("NoBackend") == "socket://10.0.17.1", f"NoBackend: {device_uri('NoBackend')}")
    check(alerts() == [] and initializations(road, "NoBackend") == 0, f"alerts: {alerts()}")
    add_queue("NoBackend", FAMILY, "socket://10.0.17.1")
    wait_for(lambda: alerts(), REPOINT_LIMIT + 1.0, "the alert once re-pointed")
    check_last_call(road, "NoBackend", "socket://10.0.17.1", 1)
    emit_notification_signal("ActionInvoked", "us", [alert_ids()[0], "default"])
    wait_for(lambda: "answered" in agent.output(), 2.0, "the line for the answered alert")
    quit_cleanly(agent)
    lines = agent.output().splitlines()
    check(len(lines) == len(JOURNAL_LEVELS) and
          all(l.startswith(level + "zelcups-agent: ") and words in l
              for l, (level, words) in zip(lines, JOURNAL_LEVELS)), f"journal: {agent.output()}")
    figure("backend_missing", f"queue left, journal: {line[0]}; backend back: re-pointed; "
           f"levels {' '.join(l[:3] for l in lines)}")


# The lines of test_backend_missing: each one's level and some of its words.
JOURNAL_LEVELS = [
    ("<4>", "backend /usr/lib/cups/backend/xvtdbmu is missing"),
    ("<4>", "NoBackend left alone: lpadmin failed"),
    ("<5>", "NoBackend re-pointed to"),
    ("<4>", "plug-in /Library/Printers/Arvex/QRX5/Libs/libinfo.dylib is missing"),
    ("<6>", "the alert about its plug-in was shown and answered"),
]


def test_backend_arrives(run):
    # With the machine's record, a queue left because the backend is missing is re-pointed
    # once it is installed, by nobody's doing, and its failure is told once.
    road = Road(run)
    road.machine_folder()
    os.rename(BACKEND_PATH, BACKEND_PATH + ".away")
    try:
        agent = road.start_agent()
        add_queue("Waiting", FAMILY, "socket://10.0.23.1")
        wait_for(lambda: agent.journal(), REPOINT_LIMIT + 1.0, "the line for Waiting")
        agent.stay_alive(TWO_TICKS)
    finally:
        os.rename(BACKEND_PATH + ".away", BACKEND_PATH)
        back = time.monotonic()
    seen = wait_repointed(["Waiting"], TICK_SECONDS + 2.0)["Waiting"]
    agent.stay_alive(TWO_TICKS)
    line = agent.journal()["Waiting"]
    check(len(line) == 2 and line[0].startswith("left alone: lpadmin failed") and
          line[1].startswith("re-pointed"), f"journal: {line}")
    check_last_call(road, "Waiting", "socket://10.0.23.1", 1)
    quit_cleanly(agent)
    figure("backend_arrives", f"re-pointed {seen - back:.1f}s after the backend came; "
           "journal: left alone, re-pointed")


KILL_ROUNDS, KILL_QUEUES = 20, 50


def session_lock_free():
    import fcntl

    with open(os.path.join(e2e.runtime_dir(), e2e.SESSION_LOCK), "rb") as f:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
    return True


def test_killed_in_a_tick(run):
    # Agent after agent killed at a random moment of a tick of many queues: none is lost,
    # and only the one whose handling a kill cut may be handled twice.
    road = Road(run)
    road.machine_folder()
    rng = random.Random(27)
    agent = road.start_agent()
    queues = []
    for round_ in range(KILL_ROUNDS):
        rows = [(f"Kill-{round_:02d}-{i:02d}", FAMILY, f"socket://10.0.22.{i + 1}")
                for i in range(KILL_QUEUES)]
        queues += [row[0] for row in rows]
        add_in_one_tick(agent, rows)
        time.sleep(rng.uniform(0.0, 3.0))
        agent.stop(signal.SIGKILL)
        # An lpadmin the kill caught between its spawn and its exec holds a copy of the
        # session's lock for a moment.
        wait_for(session_lock_free, 5.0, "the session's lock to be free")
        agent = road.start_agent()
    # A queue whose handling two kills cut is left with its line, as one whose plug-in
    # kills every agent must be; every other queue is re-pointed.
    def settled():
        uris, said = device_uris(), "".join(a.output() for a in run.agents)
        return all((uris.get(q) or "").startswith("xvtdbmu://") or
                   f"queue {q} left alone: two agents ended while handling it" in said
                   for q in queues)

    wait_for(settled, 300.0, "every queue re-pointed or left after two kills", interval=0.5)
    left = [q for q in queues if not (device_uri(q) or "").startswith("xvtdbmu://")]
    check(len(left) <= KILL_ROUNDS // 2, f"left after two kills: {left}")
    agent.stay_alive(TWO_TICKS)
    calls = {queue: len(road.calls_for(queue)) for queue in queues}
    twice = [queue for queue, n in calls.items() if n == 2]
    check(all(n in (0, 1, 2) for n in calls.values()) and len(twice) <= KILL_ROUNDS,
          f"lpadmin calls: {[(q, n) for q, n in calls.items() if n != 1]}")
    quit_cleanly(agent)
    retried = sum(a.output().count("already uses the driver's backend") for a in run.agents)
    figure("killed_in_a_tick", f"{KILL_ROUNDS} kills in ticks of {KILL_QUEUES} queues: "
           f"{len(queues) - len(left)} re-pointed, {len(left)} left after two kills, "
           f"{len(twice)} run twice, {retried} found re-pointed "
           "when tried again")


HANG_SECONDS = 10


def test_lpadmin_hangs(run):
    road = Road(run)
    recording = WORK + "/lpadmin-recording"
    os.rename(WORK + "/bin/lpadmin", recording)
    with open(WORK + "/bin/lpadmin", "w", encoding="ascii") as f:
        f.write(f'#!/bin/bash\nsleep {HANG_SECONDS}\nexec -a lpadmin {recording} "$@"\n')
    os.chmod(WORK + "/bin/lpadmin", 0o755)
    agent = road.start_agent()
    listening(agent)
    rows = [("SlowA", FAMILY, "socket://10.0.16.1"), ("SlowB", FAMILY, "socket://10.0.16.2")]
    started = time.monotonic()
    add_in_one_tick(agent, rows)
    agent.stay_alive(4.0)
    # Posted while the tick waits for lpadmin: shown while it waits.
    shown = notice_delay(agent, "during the hang")
    seen = wait_repointed([r[0] for r in rows], 2 * HANG_SECONDS + 20.0)
    agent.stay_alive(TWO_TICKS)
    for queue, _, uri in rows:
        check_repointed_once(road, queue, uri)
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)
    figure(
        "lpadmin_hangs",
        f"lpadmin hanging {HANG_SECONDS}s per call: 2/2 re-pointed once, after "
        f"{min(seen.values()) - started:.1f}s and {max(seen.values()) - started:.1f}s; the notice "
        f"posted meanwhile shown after {shown:.2f}s; agent exit 0",
    )


# --- the plug-in ----------------------------------------------------------------------


def test_plugin_variants(run):
    # A plug-in lacking an entry point, or no shared object at all, is a plug-in that
    # cannot be loaded: the alert, once, and the queue stays re-pointed.
    road = Road(run)
    fresh_notification_service()
    text = WORK + "/text-plugin"
    with open(text, "w", encoding="ascii") as f:
        f.write("This is the driver's plug-in, honestly.\n")
    cut = WORK + "/cut-plugin"
    with open(run.fixture("plugin_full"), "rb") as f:
        head = f.read(256)
    with open(cut, "wb") as f:
        f.write(head)
    rows = [
        ("Fifteen", "lacking one entry point", run.fixture("plugin_fifteen")),
        ("Text", "a text file", text),
        ("Cut", "the first 256 bytes of a plug-in", cut),
        ("Empty", "an empty file", os.devnull),
    ]
    agent = road.start_agent()
    try:
        for i, (queue, _, path) in enumerate(rows):
            install_plugin_atomically(path)
            add_queue(queue, FAMILY, f"socket://10.0.14.{i + 1}")
            wait_for(lambda: len(alerts()) > i, REPOINT_LIMIT + 1.0, f"the alert for {queue}")
            check_alert_form(alerts()[i], run, queue)
            check(initializations(road, queue) == 0, f"{queue}: the plug-in was started")
            emit_notification_signal("ActionInvoked", "us", [alert_ids()[i], "default"])
            agent.stay_alive(0.5)
        agent.stay_alive(TWO_TICKS)
        check(len(alerts()) == len(rows), f"{len(alerts())} alerts for {len(rows)} queues")
        for i, (queue, _, _) in enumerate(rows):
            check_repointed_once(road, queue, f"socket://10.0.14.{i + 1}")
        check(road.leftovers() == [], f"left behind: {road.leftovers()}")
        quit_cleanly(agent)
    finally:
        if os.path.exists(PLUGIN_PATH):
            os.unlink(PLUGIN_PATH)
    figure(
        "plugin_unloadable",
        "; ".join(f"{what}: 1 alert, re-pointed once" for _, what, _ in rows)
        + "; agent exit 0",
    )


# --- the notification service ---------------------------------------------------------


BURST = 5000


def test_notices_service_stopped(run):
    road = Road(run)
    agent = road.start_agent()
    listening(agent)
    import dbus

    def post_burst():
        # Paced, so that the service leaves in the middle of it.
        poster = StatusPoster()
        try:
            for i in range(BURST):
                poster.post(OBJECT, {"State": dbus.Int32(1000), "Message": dbus.String(f"burst {i}")})
                if i % 100 == 99:
                    poster.flush()
                    time.sleep(0.05)
        finally:
            poster.close()

    burst = threading.Thread(target=post_burst)
    burst.start()
    try:
        wait_for(lambda: sum(1 for t in status_notices() if t.startswith("burst")) >= 20,
                 20.0, "the first notices of the burst")
        shown_before = sum(1 for t in status_notices() if t.startswith("burst"))
        stop_notification_service()
    finally:
        burst.join()
    check(shown_before < BURST, "the whole burst was shown before the service went")
    # A queue that comes while no one shows anything: its alert has no one to wait for.
    add_queue("Unseen", FAMILY, "socket://10.0.17.1")
    wait_repointed(["Unseen"], REPOINT_LIMIT + 2.0)
    agent.stay_alive(TWO_TICKS)
    start_notification_service()
    post_text("back")
    wait_for(lambda: "back" in status_notices(), 20.0, "a notice after the service came back")
    check_repointed_once(road, "Unseen", "socket://10.0.17.1")
    agent.stay_alive(1.0)
    quit_cleanly(agent)
    figure(
        "notification_service_stopped_in_burst",
        f"service stopped after {shown_before} of a burst of {BURST} notices; a queue added "
        "meanwhile re-pointed once; notices shown again once it came back; agent exit 0",
    )


def alerts_unshown(run, name, where):
    road = Road(run)
    agent = road.start_agent()
    rows = [(f"{name}A", FAMILY, "socket://10.0.18.1"), (f"{name}B", FAMILY, "lpd://10.0.18.2/q")]
    started = time.monotonic()
    add_in_one_tick(agent, rows)
    seen = wait_repointed([r[0] for r in rows], TWO_TICKS + 5.0)
    agent.stay_alive(TWO_TICKS)
    for queue, _, uri in rows:
        check_repointed_once(road, queue, uri)
        check(initializations(road, queue) == 0, f"{queue}: a plug-in was started")
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)
    last = max(seen.values()) - started
    figure(
        f"alert_{where}",
        f"2 queues whose plug-in is missing: 2/2 re-pointed once within {last:.1f}s, the "
        "alerts not waited for; agent exit 0",
    )


def test_alert_without_service(run):
    check(not notification_service_running(), "runs in scripts/sandbox --no-notification-service")
    alerts_unshown(run, "NoService", "without_notification_service")


def test_alert_without_bus(run):
    check("DBUS_SESSION_BUS_ADDRESS" not in os.environ, "runs in scripts/sandbox --no-session-bus")
    alerts_unshown(run, "NoBus", "without_session_bus")


# --- hostile posts while queues come --------------------------------------------------

POSTS = 10_000
POST_BATCH = 500
QUEUES_DURING_POSTS = 20


def test_posts_while_queues_added(run):
    seed = int(os.environ.get("ZELCUPS_E2E_SEED") or time.time_ns() % 2**32)
    print(f"random seed {seed} (set ZELCUPS_E2E_SEED to repeat)")
    road = Road(run)
    agent = road.start_agent()
    listening(agent)
    from zelcups_e2e import clear_notification_calls

    clear_notification_calls()
    rows = [(f"Posted-{i:02d}", FAMILY, f"socket://10.0.19.{i + 1}")
            for i in range(QUEUES_DURING_POSTS)]
    others = [(f"Other-{i:02d}", OTHER, f"socket://10.0.20.{i + 1}") for i in range(5)]
    errors = []

    def add_queues():
        try:
            for row in rows + others:
                add_queue(*row)
                time.sleep(0.5)
        except Exception as error:  # reported by the main thread
            errors.append(error)

    adder = threading.Thread(target=add_queues)
    rng = random.Random(seed)
    log = NoticeLog()
    poster = StatusPoster()
    shown = 0
    started = time.monotonic()
    adder.start()
    try:
        for _ in range(POSTS // POST_BATCH):
            shown += post_batch(rng, log, poster, POST_BATCH,
                                lambda r: hostile_post_with(random_post, r))
            check(agent.alive(), f"{agent.label} ended: {agent.describe_status()}")
    finally:
        poster.close()
        adder.join()
    seconds = time.monotonic() - started
    check(not errors, f"adding queues: {errors}")
    wait_repointed([r[0] for r in rows], 30.0)
    agent.stay_alive(TWO_TICKS)
    failures = []
    for queue, _, uri in rows:
        try:
            check_repointed_once(road, queue, uri)
        except TestFailure as failure:
            failures.append(str(failure))
    for queue, _, uri in others:
        if road.calls_for(queue):
            failures.append(f"{queue} touched")
    check(not failures, "\n".join(failures))
    check(road.leftovers() == [], f"left behind: {road.leftovers()}")
    quit_cleanly(agent)
    figure(
        "posts_while_queues_added",
        f"{POSTS} random posts in {seconds:.0f}s, {shown} notices due and shown in order, "
        f"the rest nothing; meanwhile {len(rows)}/{len(rows)} family queues re-pointed once, "
        f"{len(others)} others untouched; agent exit 0",
    )


def hostile_post_with(random_post, rng):
    """A random post as the notice load makes them, now and then with a huge or an empty
    message string."""
    import dbus

    notification_object, name, info = random_post(rng)
    roll = rng.random()
    if roll < 0.005:
        info = dict(info, Message=dbus.String("x" * rng.randrange(100_000, 400_000)))
    elif roll < 0.01:
        info = dict(info, Message=dbus.String(""))
    return notification_object, name, dbus.Dictionary(info, signature="sv")


# --- the PPD copy and the queue between its lookup and lpadmin ------------------------


def test_runtime_folder_full(run):
    uid, gid = e2e.user_ids()
    with open(e2e.fixture_ppd(FAMILY), encoding="ascii") as f, open("/tmp/big.ppd", "w") as out:
        out.write(f.read() + "*% padding beyond the runtime folder's room\n" * 2000)
    # A small tmpfs over the runtime folder, the session bus's socket carried over into it.
    bus, stash, size = e2e.runtime_dir() + "/bus", "/run/bus-stash", f"size=16k,uid={uid},gid={gid}"
    open(stash, "w").close()
    for argv in (["--bind", bus, stash], ["-t", "tmpfs", "-o", size + ",mode=0700", "tmpfs",
                                          e2e.runtime_dir()], ["--bind", stash, bus]):
        if not os.path.exists(bus):
            open(bus, "w").close()
        run_command("mount", *argv)
    try:
        road = Road(run)
        agent = road.start_agent()
        add_queue("Full", "/tmp/big.ppd", "socket://10.0.21.1")
        stored = open(f"{PPD_DIR}/Full.ppd", "rb").read()
        wait_for(lambda: "queue Full left alone: PPD copy incomplete: " in agent.output(),
                 REPOINT_LIMIT + 1.0, "the journal line for Full")
        agent.stay_alive(TWO_TICKS)
        check(open(f"{PPD_DIR}/Full.ppd", "rb").read() == stored, "the stored PPD changed")
        check_left_alone(road, "Full", "socket://10.0.21.1")
        check(road.leftovers() == [], f"left behind: {road.leftovers()}")
        quit_cleanly(agent)
    finally:
        for path in (bus, e2e.runtime_dir(), stash):
            run_command("umount", path)


def test_deleted_during_name_lookup(run):
    road = Road(run)
    agent = road.start_agent()
    with e2e.silent_dns() as dns:
        add_queue("Gone", FAMILY, "lpd://v1.printer.example/q")
        wait_for(dns.asked, REPOINT_LIMIT + 5.0, "the agent's name lookup")
        remove_queue("Gone")
    # A name server that never answers: the lookup is given up before the queue's presence
    # is asked again, and nothing is written either way.
    wait_for(lambda: "queue Gone left alone: its printer's name lookup was given up"
             in agent.output(), 30.0, "the journal line for Gone")
    agent.stay_alive(TWO_TICKS)
    check(device_uri("Gone") is None and road.calls_for("Gone") == [], "Gone came back")
    quit_cleanly(agent)


def test_hostile_tmpdir(run):
    os.mkdir("/tmp/hostile")
    os.chmod("/tmp/hostile", 0o777)
    os.chown("/tmp/hostile", *e2e.user_ids(e2e.OUTSIDER_USER))
    # The user's own closed folder inside it: its owner may move it aside and rebuild it.
    os.mkdir("/tmp/hostile/mine", 0o700)
    os.chown("/tmp/hostile/mine", *e2e.user_ids())
    for n, tmpdir in enumerate(("/tmp/hostile", "/tmp/hostile/mine")):
        road = Road(run, hold=True)
        road.env.update(TMPDIR=tmpdir, XDG_RUNTIME_DIR=None)
        agent = road.start_agent()
        add_in_one_tick(agent, [(f"Lobby{n}", OTHER, "socket://10.0.22.9"),
                                (f"Mine{n}", FAMILY, "socket://10.0.22.1")])
        # While lpadmin holds the copy, its owner of TMPDIR tries to read and to replace it.
        copy = wait_for(lambda: road.calls_for(f"Mine{n}"), REPOINT_LIMIT + 1.0,
                        "lpadmin")[0]["argv"][6]
        tries = (["cat", copy], ["cp", e2e.fixture_ppd(OTHER), copy], ["ls", os.path.dirname(copy)])
        done = [t for t in tries
                if subprocess.run(e2e.as_user(t, e2e.OUTSIDER_USER)).returncode == 0]
        check(done == [] and not copy.startswith("/tmp/hostile"), f"{tmpdir}: {copy}: {done} worked")
        road.release()
        wait_repointed([f"Mine{n}"], 10.0)
        agent.stay_alive(TWO_TICKS)
        check(device_uri(f"Lobby{n}") == "socket://10.0.22.9", f"Lobby{n}: {device_uri(f'Lobby{n}')}")
        quit_cleanly(agent)


def test_queues_on_the_backend_not_fetched(run):
    road = Road(run)
    agent = road.start_agent()
    before = e2e.scheduler_requests("CUPS-Get-PPD")
    add_at_once([(f"OnBackend-{i:03d}", FAMILY, f"xvtdbmu://ZEL_QRX5_LPR/Q/lpd://10.0.23.{i}")
                 for i in range(100)])
    wait_for(lambda: agent.output().count("already uses the driver's backend") >= 100,
             60.0, "100 queues left alone")
    # The count is live: a queue that needs its PPD adds one.
    add_queue("Fresh", FAMILY, "socket://10.0.23.200")
    wait_repointed(["Fresh"], REPOINT_LIMIT + 1.0)
    fetched = e2e.scheduler_requests("CUPS-Get-PPD") - before
    check(fetched == 1 and len(road.calls()) == 1, f"{fetched} PPDs fetched, {road.calls()}")
    quit_cleanly(agent)


# --- quit at any time; services and name servers that never answer --------------------

NOTIFY_LIMIT = 5.0  # the agent's bound on a Notify call
LOOKUP_LIMIT = 3.0  # the agent's bound on a name lookup


def slow_notification_service(reply_after):
    """A fresh double whose Notify answers (with id 4242) only after `reply_after` s."""
    fresh_notification_service()
    from zelcups_e2e import _mock

    _mock().AddMethod("org.freedesktop.Notifications", "Notify", "susssasa{sv}i", "u",
                      f"import time; time.sleep({reply_after}); ret = 4242")


def hanging_plugin(road, run):
    road.env["ZELCUPS_INFO_PLUGIN_HANG"] = "1"
    install_plugin_atomically(run.fixture("plugin_full"))


def big_ppd(road, run):
    """A family PPD of just under 16 MiB (the most the agent fetches), so that its copy
    takes a while to come from the scheduler."""
    path = WORK + "/big.ppd"
    for name in os.listdir(e2e.runtime_dir()):  # left by an agent killed in an earlier row
        if name.startswith("zelcups-agent-") and name.endswith(".ppd"):
            os.unlink(os.path.join(e2e.runtime_dir(), name))
    with open(e2e.fixture_ppd(FAMILY), encoding="ascii") as f, open(path, "w") as out:
        text = f.read()
        out.write(text + ("*% " + "x" * 60 + "\n") * ((16 * 2**20 - len(text)) // 64 - 1))
    return path


def copy_sizes():
    folder = e2e.runtime_dir()
    return [os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)
            if n.startswith("zelcups-agent-") and n.endswith(".ppd")]


def pause_scheduler(then=None):
    """In the phase once `then()` holds: the scheduler is stopped (SIGSTOP) and says nothing."""
    def in_phase(road, q, dns):
        if then is not None and not then(road, q):
            return False
        os.kill(e2e._cupsd_pid[0], signal.SIGSTOP)
        time.sleep(0.5)
        return True
    return in_phase


PENDING_HOST = "pending-phase"


def ipv6_answer_comes(road, queue, uri):
    """After a quit in a pending lookup nothing was written; once the name has its IPv6
    address, the next agent re-points the queue with the IPv6 type."""
    check(device_uri(queue) == uri, f"{queue}: {device_uri(queue)} written after a quit")
    with open("/etc/hosts", encoding="ascii") as f:
        hosts = f.read()
    try:
        with open("/etc/hosts", "a", encoding="ascii") as f:
            f.write(f"fd00::7 {PENDING_HOST}\n")
        agent = road.start_agent()
        wait_repointed([queue], REPOINT_LIMIT + 2.0)
        check(device_uri(queue) == expected_backend_uri(queue, uri) and e2e.LPR6 in device_uri(queue),
              f"{queue}: {device_uri(queue)}")
        quit_cleanly(agent)
    finally:
        with open("/etc/hosts", "w", encoding="ascii") as f:
            f.write(hosts)


# (phase, set-up, device URI, what shows the agent is in that phase)
QUIT_PHASES = [
    ("Notify to a service that never answers", lambda road, run: slow_notification_service(3600),
     "socket://10.0.21.1", lambda road, q, dns: road.calls_for(q) and time.sleep(0.5) is None),
    ("an alert waiting", lambda road, run: None, "socket://10.0.21.2",
     lambda road, q, dns: alerts()),
    ("a name lookup that hangs", lambda road, run: None, "lpd://v1.silent-phase/q",
     lambda road, q, dns: dns.asked()),
    ("the plug-in step", hanging_plugin, "socket://10.0.21.4",
     lambda road, q, dns: initializations(road, q) and time.sleep(0.3) is None),
    ("an lpadmin that never ends", lambda road, run: road.hold(), "socket://10.0.21.5",
     lambda road, q, dns: road.calls_for(q)),
    ("a tick of 200 queues",
     lambda road, run: install_plugin_atomically(run.fixture("plugin_full")),
     [f"socket://10.0.25.{n}" for n in range(200)], lambda road, q, dns: len(road.calls()) >= 3),
    ("a scheduler that stops answering",
     lambda road, run: install_plugin_atomically(run.fixture("plugin_full")),
     [f"socket://10.0.26.{n}" for n in range(30)],
     pause_scheduler(lambda road, q: len(road.calls()) >= 3)),
    ("a 16 MiB PPD fetch", big_ppd, "socket://10.0.21.7", lambda road, q, dns: copy_sizes()),
    ("a PPD body that stalls", big_ppd, "socket://10.0.21.8",
     pause_scheduler(lambda road, q: copy_sizes())),
    ("a lookup whose IPv6 answer is pending", lambda road, run: None,
     f"lpd://v1.{PENDING_HOST}/q", lambda road, q, dns: dns.asked()),
]
# What must hold after the quit, beyond the quit itself.
AFTER_QUIT = {"a lookup whose IPv6 answer is pending": ipv6_answer_comes}


def test_quit_in_every_phase(run):
    for i, (phase, set_up, uri, in_phase) in enumerate(QUIT_PHASES):
        road = Road(run)
        ppd = set_up(road, run) or FAMILY
        agent = road.start_agent()
        try:
            with e2e.silent_dns() as dns:
                uris = uri if isinstance(uri, list) else [uri]
                add_at_once([(f"Quit-{i}-{n}", ppd, u) for n, u in enumerate(uris)])
                wait_for(lambda: in_phase(road, f"Quit-{i}-0", dns), 20.0, phase)
                check(agent.alive(), f"{phase}: {agent.describe_status()}")
                copies = copy_sizes()
                status, seconds = agent.stop(signal.SIGTERM, timeout=10.0)
            os.kill(e2e._cupsd_pid[0], signal.SIGCONT)
            copied = f" (copy at {copies[0] // 1024} KiB)" if ppd != FAMILY and copies else ""
            figure("quit_in_every_phase", f"during {phase}{copied}: {seconds:.2f}s, status {status}")
            check(status == 0 and seconds < 1.0, f"{phase}: {agent.describe_status()}, {seconds:.2f}s")
            if phase in AFTER_QUIT:
                AFTER_QUIT[phase](road, f"Quit-{i}-0", uris[0])
        finally:
            os.kill(e2e._cupsd_pid[0], signal.SIGCONT)
            agent.kill()
            e2e.remove_all_queues()  # a queue cut short is retried: not in the next phase
            if os.path.exists(road.hold_path):
                road.release()
            if os.path.exists(PLUGIN_PATH):
                os.unlink(PLUGIN_PATH)
            fresh_notification_service()


def test_notification_service_unanswering(run):
    # The ids of the alerts are 4242 (late) or none (never): see slow_notification_service.
    results = []
    for name, reply_after in (("Never", 3600), ("Late", NOTIFY_LIMIT + 2)):
        road = Road(run)
        slow_notification_service(reply_after)
        agent = road.start_agent()
        add_in_one_tick(agent, [(f"{name}A", FAMILY, "socket://10.0.22.1"),
                                (f"{name}B", FAMILY, "lpd://10.0.22.2/q")])
        wait_for(lambda: any(device_uri(f"{name}{x}").startswith("xvtdbmu:") for x in "AB"),
                 REPOINT_LIMIT + 1.0, "the first of two queues re-pointed")
        usb = f"{name}Usb"
        added = time.monotonic()
        add_queue(usb, FAMILY, "usb://Arvex/QRX5?serial=LATE")
        delay = wait_repointed([usb], 2 * NOTIFY_LIMIT + TWO_TICKS + 3.0)[usb] - added
        if name == "Late":
            wait_for(lambda: len(notification_calls("CloseNotification")) >= 2, 3 * reply_after,
                     "both late alerts closed")
            check(all(a == [4242] for _, a in notification_calls("CloseNotification")),
                  f"closed: {notification_calls('CloseNotification')}")
        quit_cleanly(agent)
        results.append(f"{name.lower()}: a USB queue after two unanswered alerts waited "
                       f"{delay:.1f}s")
    fresh_notification_service()
    figure("notification_service_unanswering",
           "; ".join(results) + "; both late alerts closed once answered; agent exit 0")


def test_silent_name_server(run):
    road = Road(run)
    install_plugin_atomically(run.fixture("plugin_full"))
    try:
        with e2e.silent_dns() as dns:
            agent = road.start_agent()
            add_in_one_tick(agent, [(f"Silent-{i}", FAMILY, f"lpd://v1.silent-{i}/q")
                                    for i in range(5)])
            wait_for(dns.asked, TWO_TICKS, "the first query")
            added = time.monotonic()
            add_queue("Plain", FAMILY, "socket://10.0.23.1")
            delay = wait_repointed(["Plain"], 5 * LOOKUP_LIMIT + TWO_TICKS + 3.0)["Plain"] - added
            # A lookup given up on is no answer: never the IPv4 type in place of IPv6.
            check(all(device_uri(f"Silent-{i}") == f"lpd://v1.silent-{i}/q" for i in range(5)),
                  "a lookup that timed out left its queue alone")
            quit_cleanly(agent)
    finally:
        os.unlink(PLUGIN_PATH)
    figure("silent_name_server", f"a plain queue added after five v1. queues whose name "
           f"server never answers re-pointed after {delay:.1f}s, those five left alone; "
           f"agent exit 0")


def test_notice_during_a_long_tick(run):
    road = Road(run)
    with e2e.silent_dns() as dns:
        agent = road.start_agent()
        listening(agent)
        add_in_one_tick(agent, [(f"Busy-{i}", FAMILY, f"lpd://v1.busy-{i}/q") for i in range(60)])
        wait_for(dns.asked, TWO_TICKS, "the first query")
        shown = [notice_delay(agent, f"busy {n}") for n in range(3)]
        quit_cleanly(agent)
    figure("notice_during_a_long_tick", "notices posted during a tick of 60 queues behind a "
           f"silent name server shown after {', '.join(f'{s:.2f}s' for s in shown)}; exit 0")


if __name__ == "__main__":
    from zelcups_e2e import main

    main(globals())
