"""Status notices end to end: the driver's PMNotification posts on a real session bus, the
agent, and the notices the notification service is asked to show.

What "nothing shown" means is made exact without waiting on a clock: after the posts of a
row, a sentinel that must be shown is posted, and the row's notices are those recorded
before the sentinel's."""

import os
import random
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zelcups_e2e import (  # noqa: E402
    TWO_TICKS, quit_cleanly, DEFAULT_NOTIFICATION_OBJECT, FolderLooks, NOTIFICATIONS_NAME,
    PPD_DIR, SANITIZER_LOG_DIR, STATUS_NAME, TICK_SECONDS, StatusPoster, add_queue, as_user,
    check, gvariant_string, main, observes_posts, post_status, remove_profile, run as
    run_command, user_env, wait_for, CATALOGUE, NoticeLog, _dbus, post_batch,
)

OBJECT = DEFAULT_NOTIFICATION_OBJECT
# The notice text is converted in the system encoding, which is the locale's codeset; the
# texts below are written for UTF-8.
AGENT_ENV = dict(os.environ, LC_ALL="C.UTF-8")


# --- reading what was shown -----------------------------------------------------------


def start_agent(run):
    agent = run.start_agent(AGENT_ENV)
    agent.wait_ready()
    # The agent catches quit requests from its first instruction on, before it observes
    # any post: it is ready for posts once the bus holds its match rule for them.
    if os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        wait_for(observes_posts, 10.0, f"{agent.label} to observe status posts")
    return agent



# --- the rules, one row at a time -----------------------------------------------------


def ay(data):
    """GVariant text of a byte array."""
    return "[" + ", ".join(f"byte 0x{b:02x}" for b in data) + "]" if data else "@ay []"


def show(message, extra=""):
    """User info of state 1000 with a message given as GVariant text."""
    return f"{{'State': <int32 1000>, 'Message': <{message}>{extra}}}"


def show_text(text):
    """User info of state 1000 with a message string."""
    return show(gvariant_string(text))


def with_state(state, text):
    return f"{{'State': <{state}>, 'Message': <{gvariant_string(text)}>}}"


def with_code(code, message=None):
    text = f", 'Message': <{gvariant_string(message)}>" if message is not None else ""
    return f"{{'State': <int32 1000>, 'MessageCode': <{code}>{text}}}"


LONG_DATA = bytes([255]) + bytes(ord("a") + i % 26 for i in range(299))

# (what the row is about, posts as (object, user info[, name]), the notice texts shown)
RULES = [
    # State: exactly 1000, as any number that converts to it without loss.
    ("state int32 1000", [(OBJECT, with_state("int32 1000", "s1"))], ["s1"]),
    ("state 999", [(OBJECT, with_state("int32 999", "s2"))], []),
    ("state 1001", [(OBJECT, with_state("int32 1001", "s3"))], []),
    ("state missing", [(OBJECT, "{'Message': <'s4'>}")], []),
    ("state double 1000.0", [(OBJECT, with_state("1000.0", "s5"))], ["s5"]),
    ("state string '1000'", [(OBJECT, with_state("'1000'", "s6"))], []),
    ("state int64 1000", [(OBJECT, with_state("int64 1000", "s7"))], ["s7"]),
    ("state uint16 1000", [(OBJECT, with_state("uint16 1000", "s8"))], ["s8"]),
    ("state double 1000.5", [(OBJECT, with_state("1000.5", "s9"))], []),
    ("state 1000 + 2^32", [(OBJECT, with_state("int64 4294968296", "s10"))], []),
    ("state boolean", [(OBJECT, with_state("true", "s11"))], []),
    # A known message code: the catalogue's text, whatever the message says.
    ("code 2004 over message", [(OBJECT, with_code("int32 2004", "not this"))], [CATALOGUE[2004]]),
    ("code 2001", [(OBJECT, with_code("int32 2001"))], [CATALOGUE[2001]]),
    ("code 2011", [(OBJECT, with_code("int32 2011"))], [CATALOGUE[2011]]),
    ("code double 2007.0", [(OBJECT, with_code("2007.0", "not this"))], [CATALOGUE[2007]]),
    # An unknown code shows nothing; the message is no fallback for it.
    ("code 2000 unknown", [(OBJECT, with_code("int32 2000", "not this"))], []),
    ("code 2012 unknown", [(OBJECT, with_code("int32 2012", "not this"))], []),
    ("code 0 unknown", [(OBJECT, with_code("int32 0", "not this"))], []),
    ("code -2004 unknown", [(OBJECT, with_code("int32 -2004", "not this"))], []),
    # A code that is no 32-bit integer counts as missing: the message decides.
    ("code string", [(OBJECT, with_code("'2004'", "c1"))], ["c1"]),
    ("code 2.5", [(OBJECT, with_code("2.5", "c2"))], ["c2"]),
    ("code 2004 + 2^32", [(OBJECT, with_code("int64 4294969300", "c3"))], ["c3"]),
    ("code boolean", [(OBJECT, with_code("true", "c4"))], ["c4"]),
    ("code string, no message", [(OBJECT, with_code("'2004'"))], []),
    # Message strings: at most 254 bytes, never cut short.
    ("message of 254 bytes", [(OBJECT, show_text("m" * 254))], ["m" * 254]),
    ("message of 255 bytes", [(OBJECT, show_text("m" * 255))], []),
    ("message of 2000 bytes", [(OBJECT, show_text("m" * 2000))], []),
    ("message of 127 two-byte letters", [(OBJECT, show_text("é" * 127))], ["é" * 127]),
    # 256 bytes in UTF-8 but 128 in MacRoman, the second encoding tried.
    ("message fits MacRoman only", [(OBJECT, show_text("é" * 128))], ["é" * 128]),
    ("message too long for both", [(OBJECT, show_text("é" * 255))], []),
    ("message of 84 CJK letters", [(OBJECT, show_text("漢" * 84))], ["漢" * 84]),
    ("message of 85 CJK letters", [(OBJECT, show_text("漢" * 85))], []),
    ("message empty", [(OBJECT, show("''"))], [""]),
    # Message data: a length byte and that many bytes of text.
    ("data 3 abc z", [(OBJECT, show(ay(b"\x03abcz")))], ["abc"]),
    ("data empty", [(OBJECT, show(ay(b"")))], [""]),
    ("data length 0", [(OBJECT, show(ay(b"\x00abc")))], [""]),
    ("data claims more than it holds", [(OBJECT, show(ay(b"\x05ab")))], ["ab"]),
    ("data of 300 bytes, length 255", [(OBJECT, show(ay(LONG_DATA)))], [LONG_DATA[1:255].decode()]),
    ("data of 300 bytes, length 3", [(OBJECT, show(ay(b"\x03xyz" + LONG_DATA)))], ["xyz"]),
    ("data in UTF-8", [(OBJECT, show(ay(b"\x02\xc3\xa9")))], ["é"]),
    ("data not UTF-8", [(OBJECT, show(ay(b"\x02\xff\xfe")))], []),
    ("data beyond U+10FFFF", [(OBJECT, show(ay(b"\x04\xf4\x90\x80\x80")))], []),
    ("data cut inside a letter", [(OBJECT, show(ay(b"\x01\xc3\xa9")))], []),
    # Any other message type shows nothing.
    ("message number", [(OBJECT, show("int32 5"))], []),
    ("message array", [(OBJECT, show("['a', 'b']"))], []),
    ("message dictionary", [(OBJECT, show("{'Message': <'inner'>}"))], []),
    ("message boolean", [(OBJECT, show("true"))], []),
    ("no code, no message", [(OBJECT, "{'State': <int32 1000>}")], []),
    (
        "other keys are ignored",
        [(OBJECT, show("'k1'", ", 'Other': <[1, 2]>, 'Deep': <{'a': <{'b': <1>}>}>"))],
        ["k1"],
    ),
    # Only the profile's object, and only PMNotification, are listened to.
    ("another object", [("com.arvex.Other", show("'f1'"))], []),
    ("no object", [("", show("'f2'"))], []),
    ("object in other case", [(OBJECT.lower(), show("'f3'"))], []),
    ("another name", [(OBJECT, show("'f4'"), STATUS_NAME + "X")], []),
    ("empty user info", [(OBJECT, "@a{sv} {}")], []),
    # Each post is a notice of its own, in the order posted.
    ("two posts in succession", [(OBJECT, show("'q1'")), (OBJECT, show("'q2'"))], ["q1", "q2"]),
]


def test_rules(run):
    agent = start_agent(run)
    log = NoticeLog()
    failures = []
    for i, (what, posts, expected) in enumerate(RULES):
        shown = log.shown_by(posts)
        if shown != expected:
            failures.append(f"row {i} ({what}): shown {shown!r}, expected {expected!r}")
    # Two posts on the wire at once, from one connection, the sentinel right behind them.
    dbus = _dbus()
    poster = StatusPoster()
    text, _ = log.sentinel_user_info()
    for message in ("q3", "q4", text):
        poster.post(OBJECT, {"State": dbus.Int32(1000), "Message": dbus.String(message)})
    poster.close()
    shown = log.until_sentinel(text)
    if shown != ["q3", "q4"]:
        failures.append(f"two posts at once: shown {shown!r}")
    check(not failures, "\n".join(failures))
    check(agent.alive(), f"{agent.label} ended: {agent.describe_status()}")
    quit_cleanly(agent)


def test_any_poster(run):
    # Without a product profile there is no object to listen for, so every poster counts.
    remove_profile()
    agent = start_agent(run)
    log = NoticeLog()
    rows = [
        ("the usual object", [(OBJECT, show("'p1'"))], ["p1"]),
        ("another object", [("com.arvex.Other", show("'p2'"))], ["p2"]),
        ("no object", [("", show("'p3'"))], ["p3"]),
        ("another name", [("", show("'p4'"), STATUS_NAME + "X")], []),
        ("state 999", [("com.arvex.Other", with_state("int32 999", "p5"))], []),
    ]
    for i, (what, posts, expected) in enumerate(rows):
        shown = log.shown_by(posts)
        check(shown == expected, f"row {i} ({what}): shown {shown!r}, expected {expected!r}")
    quit_cleanly(agent)


# --- bad input and load ---------------------------------------------------------------

LOAD_POSTS = 10_000
# What the agent holds while posts wait for it and notices wait for the service grows with
# how far the service falls behind; its resident memory keeps the peak of that, since freed
# memory stays resident. So the leak check compares two rounds of the same posts that wait
# for their notices every BATCH posts (a backlog of 100 posts: round to round the agent's
# memory then moves by some 30 kB), before the burst raises the peak. The second round may
# add only this much: a leak of 50 bytes a post would add 500 kB.
BATCH = 100
RSS_GROWTH_LIMIT_KB = 512
# Ten thousand posts in flight at once stay far below this.
PEAK_LIMIT_KB = 64 * 1024


def memory(agent):
    return agent.proc_status("VmRSS"), agent.proc_status("VmHWM")


def test_load(run):
    seed = int(os.environ.get("ZELCUPS_E2E_SEED") or time.time_ns() % 2**32)
    print(f"random seed {seed} (set ZELCUPS_E2E_SEED to repeat)")
    agent = start_agent(run)
    log = NoticeLog()
    poster = StatusPoster()
    figures = [("at start", 0, 0.0, *memory(agent))]
    try:
        # The two paced rounds post the same, so that neither meets bigger posts than
        # the other did.
        for what, batch, rng in (
            ("paced", BATCH, random.Random(seed)),
            ("paced", BATCH, random.Random(seed)),
            ("burst", LOAD_POSTS, random.Random(seed + 1)),
        ):
            started = time.monotonic()
            shown = sum(post_batch(rng, log, poster, batch) for _ in range(LOAD_POSTS // batch))
            seconds = time.monotonic() - started
            status = agent.describe_status()
            check(agent.alive(), f"{agent.label} ended in a {what} round: {status}")
            figures.append((f"{what} round", shown, seconds, *memory(agent)))
    finally:
        poster.close()
        for what, shown, seconds, rss, hwm in figures:
            print(f"{what}: {shown} notices in {seconds:.1f}s; VmRSS {rss} kB, VmHWM {hwm} kB")
    if SANITIZER_LOG_DIR:
        # AddressSanitizer keeps freed memory in quarantine (256 MB by default), so resident
        # memory says nothing of leaks here; LeakSanitizer checks them when the agent ends.
        print("resident memory not checked: the agent runs under AddressSanitizer")
        quit_cleanly(agent)
        return
    growth = figures[2][3] - figures[1][3]
    check(
        growth < RSS_GROWTH_LIMIT_KB,
        f"the second paced round added {growth} kB of resident memory "
        f"(limit {RSS_GROWTH_LIMIT_KB} kB)",
    )
    peak = figures[3][4]
    check(peak < PEAK_LIMIT_KB, f"peak resident memory {peak} kB (limit {PEAK_LIMIT_KB} kB)")
    quit_cleanly(agent)


# --- without a notification service or without a bus ----------------------------------


def _name_has_owner(name):
    out = run_command(
        "gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
        "--object-path", "/org/freedesktop/DBus",
        "--method", "org.freedesktop.DBus.NameHasOwner", name,
    )
    return "true" in out


class BusMonitor:
    """dbus-monitor's record of the Notify calls on the bus and the errors they got."""

    def __init__(self):
        self.path = os.path.join(os.environ.get("ZELCUPS_SANDBOX_DIR", "/tmp"), "monitor.out")
        self._out = open(self.path, "w", encoding="utf-8")
        self.process = subprocess.Popen(
            ["dbus-monitor", "--session", "--profile",
             "type='method_call',interface='org.freedesktop.Notifications',member='Notify'",
             "type='error'"],
            stdout=self._out, stderr=subprocess.STDOUT,
        )

    def lines(self, kind):
        with open(self.path, encoding="utf-8", errors="replace") as f:
            return [line.split("\t") for line in f if line.startswith(kind + "\t")]

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self._out.close()


def test_no_notification_service(run):
    check(
        not _name_has_owner(NOTIFICATIONS_NAME),
        "a notification service runs: this case runs in scripts/sandbox --no-notification-service",
    )
    monitor = BusMonitor()
    double = None
    try:
        # dbus-monitor has its match rules once it shows its own connection's first signal.
        wait_for(lambda: monitor.lines("sig"), 10.0, "dbus-monitor to start")
        agent = start_agent(run)
        # Ready is not yet observing: posts until one is asked to be shown, and its error.
        warm_ups = iter(range(1, 1000))

        def observing():
            post_status(OBJECT, show_text(f"warm-up {next(warm_ups)}"))
            return monitor.lines("mc")

        wait_for(observing, 10.0, f"{agent.label} to observe status posts", interval=0.2)
        # The last warm-up's call and its error are on the bus well within a second.
        agent.stay_alive(1.0)
        calls, errors = len(monitor.lines("mc")), len(monitor.lines("err"))
        for i in range(5):
            post_status(OBJECT, show_text(f"nobody {i}"))
        post_status(OBJECT, with_code("int32 2004"))
        # Each notice is asked for, and the bus answers that no one is there.
        wait_for(lambda: len(monitor.lines("mc")) >= calls + 6, 10.0, "six Notify calls")
        wait_for(lambda: len(monitor.lines("err")) >= errors + 6, 10.0, "six errors")
        agent.stay_alive(1.0)

        # A service that comes later shows what is posted from then on, and nothing older.
        double = subprocess.Popen(
            as_user(["/usr/bin/python3", "-m", "dbusmock", "--session", "-t",
                     "notification_daemon"]),
            env=user_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        wait_for(lambda: _name_has_owner(NOTIFICATIONS_NAME), 20.0, "the notification double")
        shown = NoticeLog().shown_by([])
        check(shown == [], f"notices from before the service came: {shown!r}")
        quit_cleanly(agent)
        print("FIGURE no_notification_service: 6/6 notices asked for and refused by the bus; "
              "none shown later; agent exit 0", flush=True)
    finally:
        monitor.stop()
        if double is not None:
            double.terminate()
            double.wait()


def test_no_session_bus(run):
    check(
        "DBUS_SESSION_BUS_ADDRESS" not in os.environ,
        "a session bus is set: this case runs in scripts/sandbox --no-session-bus",
    )
    looks = FolderLooks()
    try:
        agent = start_agent(run)
        looks.wait_for_more(0, 10.0, f"{agent.label} to take its first snapshot")
        # The watcher goes on without a bus: once a queue comes, the PPD folder is listed
        # again.
        before = looks.count()
        add_queue("Office", "arvex-qrx5", "socket://10.0.0.5")
        added = time.monotonic()
        looks.wait_for_more(
            before, TICK_SECONDS + 1.0, f"{agent.label} to look at {PPD_DIR} after a queue came"
        )
        agent.stay_alive(added + TWO_TICKS - time.monotonic())
        quit_cleanly(agent)
        print("FIGURE no_session_bus: the watcher goes on; agent exit 0", flush=True)
    finally:
        looks.close()


if __name__ == "__main__":
    main(globals())
