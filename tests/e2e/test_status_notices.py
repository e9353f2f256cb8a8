"""Status notices end to end: the driver's PMNotification posts on a real session bus, the
agent, and the notices the notification service is asked to show.

What "nothing shown" means is made exact without waiting on a clock: after the posts of a
row, a sentinel that must be shown is posted, and the row's notices are those recorded
before the sentinel's."""

import math
import os
import random
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zelcups_e2e import (  # noqa: E402
    DEFAULT_NOTIFICATION_OBJECT,
    FolderLooks,
    NOTICE_TITLE,
    NOTIFICATIONS_NAME,
    PPD_DIR,
    SANITIZER_LOG_DIR,
    STATUS_NAME,
    TICK_SECONDS,
    StatusPoster,
    TestFailure,
    add_queue,
    as_user,
    check,
    clear_notification_calls,
    gvariant_string,
    main,
    notices,
    observes_posts,
    post_status,
    remove_profile,
    run as run_command,
    user_env,
    wait_for,
)

OBJECT = DEFAULT_NOTIFICATION_OBJECT
# The notice text is converted in the system encoding, which is the locale's codeset; the
# texts below are written for UTF-8.
AGENT_ENV = dict(os.environ, LC_ALL="C.UTF-8")
TWO_TICKS = 2 * TICK_SECONDS + 1.0

# The maker's message catalogue, as the common library ships it.
CATALOGUE = {
    2001: "Paper out: load paper into the tray, then press Resume on the printer.",
    2002: "Paper jam: open the front cover and remove the jammed paper.",
    2003: "Cover open: close the printer cover to continue printing.",
    2004: "Toner low: replace the toner cartridge soon.",
    2005: "Toner empty: replace the toner cartridge to continue printing.",
    2006: "Drum unit near end of life: have a new drum unit ready.",
    2007: "Output tray full: remove the printed pages.",
    2008: "The printer is offline or cannot be reached.",
    2009: "Printer memory full: the page is too complex for the printer.",
    2010: "Duplex unit error: check the duplex unit and its connection.",
    2011: "Wrong paper size: load paper of the size the job asks for.",
}


# --- reading what was shown -----------------------------------------------------------


def check_notice_form(args, where):
    """Every notice is independent, titled, and stays until the user dismisses it."""
    _, replaces_id, _, summary, _, _, _, expire_timeout = args
    check(summary == NOTICE_TITLE, f"{where}: summary {summary!r}")
    check(expire_timeout == 0, f"{where}: expire timeout {expire_timeout}")
    check(replaces_id == 0, f"{where}: replaces notice {replaces_id}")


class NoticeLog:
    """Splits the notification double's record into the notices of successive rows."""

    def __init__(self):
        self.consumed = 0
        self.sentinels = 0

    def sentinel_user_info(self):
        self.sentinels += 1
        text = f"sentinel {self.sentinels}"
        return text, f"{{'State': <int32 1000>, 'Message': <'{text}'>}}"

    def until_sentinel(self, text, timeout=15.0, interval=0.05):
        """The bodies of the notices recorded since the last sentinel, up to `text`."""

        def find():
            calls = notices()
            for i in range(self.consumed, len(calls)):
                if calls[i][4] == text:
                    return calls, i
            return None

        calls, end = wait_for(find, timeout, f"the notice {text!r}", interval)
        for i in range(self.consumed, end + 1):
            check_notice_form(calls[i], f"notice {i}")
        shown = [args[4] for args in calls[self.consumed : end]]
        self.consumed = end + 1
        return shown

    def shown_by(self, posts):
        """Posts each (object, user_info[, name]) with gdbus emit; returns what they showed."""
        for post in posts:
            post_status(*post)
        text, user_info = self.sentinel_user_info()
        post_status(OBJECT, user_info)
        return self.until_sentinel(text)


def start_agent(run):
    agent = run.start_agent(AGENT_ENV)
    agent.wait_ready()
    # The agent catches quit requests from its first instruction on, before it observes
    # any post: it is ready for posts once the bus holds its match rule for them.
    if os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        wait_for(observes_posts, 10.0, f"{agent.label} to observe status posts")
    return agent


def quit_cleanly(agent):
    status, seconds = agent.stop(signal.SIGTERM)
    check(status == 0, f"{agent.label} quit with {agent.describe_status()}, expected 0")
    check(seconds < 1.0, f"{agent.label} took {seconds:.2f}s to quit")


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

ASCII = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789 .,:;!?'\"-_/\\%"
# Letters that MacRoman holds, and some it does not.
ROMAN = "éüßñ©°¿Åøæ"
WIDE = "漢字€😀Ωж"


def _dbus():
    import dbus

    return dbus


def random_text(rng):
    pool = rng.choice([ASCII, ASCII + ROMAN, ROMAN, ASCII + WIDE, ASCII + ROMAN + WIDE])
    size = rng.choice([rng.randrange(0, 40), rng.randrange(100, 300), rng.randrange(240, 260)])
    if rng.random() < 0.05:
        size = rng.randrange(1000, 4000)
    return "".join(rng.choice(pool) for _ in range(size))


def random_data(rng):
    kind = rng.random()
    if kind < 0.5:
        # A Pascal string, with or without a length byte that tells the truth, and junk.
        text = random_text(rng).encode("utf-8")[: rng.randrange(0, 300)]
        length = len(text) if rng.random() < 0.7 else rng.randrange(256)
        junk = rng.randbytes(rng.choice([0, rng.randrange(1, 64), rng.randrange(64, 3000)]))
        return bytes([min(length, 255)]) + text + junk
    if kind < 0.6:
        # Text with a NUL in it.
        text = random_text(rng)[:100].encode("utf-8")
        cut = rng.randrange(len(text) + 1)
        body = text[:cut] + b"\x00" + text[cut:]
        return bytes([min(len(body), 255)]) + body
    if kind < 0.65:
        return b""
    return rng.randbytes(rng.randrange(0, 4096))


def random_dictionary(rng, depth):
    dbus = _dbus()
    entries = {}
    for _ in range(rng.randrange(0, 4)):
        key = rng.choice(["State", "MessageCode", "Message", "x", "nested"])
        if depth > 0 and rng.random() < 0.5:
            entries[key] = random_dictionary(rng, depth - 1)
        else:
            entries[key] = rng.choice(
                [dbus.Int32(1000), dbus.String("1000"), dbus.Double(2004.0), dbus.Boolean(True)]
            )
    return dbus.Dictionary(entries, signature="sv")


def random_other(rng):
    """A value of a type the agent takes as neither number, string nor data."""
    dbus = _dbus()
    return rng.choice(
        [
            lambda: dbus.Boolean(rng.random() < 0.5),
            lambda: dbus.Array([dbus.String("a"), dbus.String("b")], signature="s"),
            lambda: dbus.Array([dbus.Int32(1000)], signature="i"),
            lambda: dbus.Struct((dbus.Int32(1000), dbus.String("x"))),
            lambda: dbus.ObjectPath("/com/arvex/x"),
            lambda: random_dictionary(rng, rng.randrange(1, 5)),
        ]
    )()


def random_state(rng):
    dbus = _dbus()
    if rng.random() < 0.6:
        return dbus.Int32(1000)
    return rng.choice(
        [
            lambda: None,
            lambda: dbus.Double(1000.0),
            lambda: dbus.Int64(1000),
            lambda: dbus.UInt16(1000),
            lambda: dbus.Int16(1000),
            lambda: dbus.Int32(rng.choice([999, 1001, 0, -1000, 2**31 - 1])),
            lambda: dbus.Int64(2**32 + 1000),
            lambda: dbus.UInt64(2**64 - 1),
            lambda: dbus.Byte(rng.randrange(256)),
            lambda: dbus.Double(rng.choice([1000.5, 999.999, float("nan"), float("inf")])),
            lambda: dbus.String("1000"),
            lambda: dbus.ByteArray(b"\x04" + b"1000"),
            lambda: random_other(rng),
        ]
    )()


def random_code(rng):
    dbus = _dbus()
    if rng.random() < 0.4:
        return None
    return rng.choice(
        [
            lambda: dbus.Int32(rng.randrange(2001, 2012)),
            lambda: dbus.Int32(rng.randrange(2001, 2012)),
            lambda: dbus.Int32(rng.choice([2000, 2012, 0, -1, 2**31 - 1, -(2**31)])),
            lambda: dbus.Double(float(rng.randrange(2001, 2012))),
            lambda: dbus.Double(rng.choice([2004.5, 1e12, float("nan")])),
            lambda: dbus.Int64(rng.choice([2**32 + 2004, -(2**31) - 1, 2005])),
            lambda: dbus.UInt32(rng.choice([2**31 + 2004, 2006])),
            lambda: dbus.Byte(rng.randrange(256)),
            lambda: dbus.String(str(rng.randrange(2001, 2012))),
            lambda: random_other(rng),
        ]
    )()


def random_message(rng):
    dbus = _dbus()
    kind = rng.random()
    if kind < 0.1:
        return None
    if kind < 0.5:
        return dbus.String(random_text(rng))
    if kind < 0.85:
        return dbus.ByteArray(random_data(rng))
    if kind < 0.9:
        return rng.choice([dbus.Int32(rng.randrange(-5, 5)), dbus.Double(2004.0)])
    return random_other(rng)


def random_post(rng):
    """(object, name, user info) of one post."""
    dbus = _dbus()
    info = {}
    for key, value in (
        ("State", random_state(rng)),
        ("MessageCode", random_code(rng)),
        ("Message", random_message(rng)),
    ):
        if value is not None:
            info[key] = value
    if rng.random() < 0.1:
        info["Extra"] = random_dictionary(rng, 3)
    keys = list(info)
    rng.shuffle(keys)
    info = {k: info[k] for k in keys}
    notification_object = OBJECT
    name = STATUS_NAME
    if rng.random() < 0.05:
        notification_object = rng.choice(["", "com.arvex.Other", OBJECT + "."])
    if rng.random() < 0.02:
        name = rng.choice(["pmnotification", "Other"])
    return notification_object, name, dbus.Dictionary(info, signature="sv")


def as_sint32(value):
    """The value as the agent reads a number: a signed 32-bit integer, or None when it is no
    number or does not convert without loss."""
    dbus = _dbus()
    if isinstance(value, dbus.Boolean):
        return None
    if isinstance(value, (dbus.Byte, dbus.Int16, dbus.UInt16, dbus.Int32, dbus.UInt32,
                          dbus.Int64, dbus.UInt64)):
        number = int(value)
    elif isinstance(value, dbus.Double):
        real = float(value)
        if not math.isfinite(real) or real != math.floor(real):
            return None
        number = int(real)
    else:
        return None
    return number if -(2**31) <= number < 2**31 else None


def expected_notice(notification_object, name, info, accepted_objects):
    """The text the agent must show for a post, or None when it must show nothing."""
    dbus = _dbus()
    if name != STATUS_NAME or notification_object not in accepted_objects or not info:
        return None
    if as_sint32(info.get("State")) != 1000:
        return None
    code = as_sint32(info.get("MessageCode"))
    if code is not None:
        return CATALOGUE.get(code)
    message = info.get("Message")
    if isinstance(message, dbus.String):
        text = str(message)
        if len(text.encode("utf-8")) <= 254:
            return text
        try:
            roman = text.encode("mac_roman")
        except UnicodeEncodeError:
            return None
        return text if len(roman) <= 254 else None
    if isinstance(message, dbus.ByteArray):
        copied = bytes(message)[:255]
        if not copied:
            return ""
        # A length byte that claims more than was copied is cut to the bytes copied.
        length = min(copied[0], len(copied) - 1)
        try:
            text = copied[1 : 1 + length].decode("utf-8")
        except UnicodeDecodeError:
            return None
        # The notification service takes no NUL: the text ends at the first one.
        return text.split("\0")[0]
    return None


def describe_post(post):
    text = repr(post)
    return text if len(text) < 400 else text[:400] + "..."


def post_batch(rng, log, poster, count):
    """Posts `count` random posts, then a sentinel, and checks that exactly the notices due
    were shown, in order; the double's record is cleared afterwards. Returns the number of
    notices shown."""
    posts = [random_post(rng) for _ in range(count)]
    expected = []
    for i, (notification_object, name, info) in enumerate(posts):
        poster.post(notification_object, info, name)
        text = expected_notice(notification_object, name, info, (OBJECT,))
        if text is not None:
            expected.append((i, text))
        if i % 200 == 199:
            poster.flush()
    dbus = _dbus()
    text, _ = log.sentinel_user_info()
    poster.post(OBJECT, {"State": dbus.Int32(1000), "Message": dbus.String(text)})
    poster.flush()
    shown = log.until_sentinel(text, timeout=120.0, interval=0.01 if count <= BATCH else 0.25)
    for k in range(max(len(shown), len(expected))):
        got = shown[k] if k < len(shown) else None
        want = expected[k][1] if k < len(expected) else None
        if got != want:
            post = describe_post(posts[expected[k][0]]) if k < len(expected) else "(none)"
            raise TestFailure(
                f"notice {k} of {len(shown)} shown ({len(expected)} due): {got!r:.300}, "
                f"expected {want!r:.300} for post {post}"
            )
    clear_notification_calls()
    log.consumed = 0
    return len(shown)


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
