"""The road of a new queue of the driver family, end to end: the agent, run as the desktop
user, against the real scheduler, with a recording lpadmin first on PATH (it logs each
argument vector, then runs the real one) and, where the case says, a recording info
plug-in in the driver directory.

The backend URI each queue must get is worked out here from the address rule itself
(expected_backend_uri), never by asking the agent's code.

Fixtures (--fixture NAME=PATH): lpadmin, the recording lpadmin; share, the built share/
folder that holds the agent's catalogues."""

import gettext
import json
import os
import re
import shutil
import signal
import socket
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zelcups_e2e import (  # noqa: E402
    ADMIN_USER,
    DEFAULT_NOTIFICATION_OBJECT,
    DRIVER_DIR,
    FolderLooks,
    observes_posts,
    NOTICE_TITLE,
    PLUGIN_PATH,
    OUTSIDER_USER,
    PPD_DIR,
    SESSION_USER,
    SNAPSHOT_FILE,
    TICK_SECONDS,
    TestFailure,
    add_queue,
    add_to_group,
    check,
    device_uri,
    device_uris,
    emit_notification_signal,
    notification_calls,
    new_session,
    post_status,
    run as run_command,
    runtime_dir,
    start_notification_service,
    start_scheduler,
    stop_notification_service,
    stop_scheduler,
    user_ids,
    wait_for,
)

TWO_TICKS = 2 * TICK_SECONDS + 1.0
# One interval, plus the time the tick needs for the queue (the PPD from the scheduler,
# the device-URI lookup, lpadmin and the plug-in) and the polling of this test.
REPOINT_LIMIT = TICK_SECONDS + 1.5
LPR = "ZEL_QRX5_LPR"
LPR6 = "ZEL_QRX5_LPRv6"
PLUGIN_BASE = DRIVER_DIR
WORK = "/tmp/zelcups-road"
IDLE_CPU_LIMIT = 0.5


# --- the address rule, from first principles ------------------------------------------

# (device-URI prefix, fixed connection type or None for the network resolver, scheme of
# the address), searched in this order.
RULES = (
    ("mdns://", "DNSSD", "mdns://"),
    ("dnssd://", "DNSSD", "mdns://"),
    ("usb://", "USB", "usb://"),
    ("lpd://", None, "lpd://"),
    ("socket://", None, "lpd://"),
    ("ipp://", None, "lpd://"),
)
# What would end or redirect a command line; escaped as %XX.
COMMAND_LINE_ESCAPED = set(b"!&()|<>")
# The maker's path encoding keeps only the URI's unreserved characters.
UNRESERVED = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~")
HEX = set(b"0123456789abcdefABCDEF")


def looks_ipv6(remainder):
    return "[v1." in remainder or ":" in remainder


def host_with_port(remainder):
    """An IPv4 address or a name followed by ":port": not IPv6, whatever the colon says."""
    host = remainder.split("/", 1)[0]
    return re.fullmatch(r"[^\[\]:]+:[0-9]{1,5}", host) is not None


def has_ipv6_address(name):
    try:
        return bool(socket.getaddrinfo(name, None, socket.AF_INET6, socket.SOCK_STREAM))
    except socket.gaierror:
        return False


def network_type(remainder):
    """The connection type, and the remainder as the type's decision leaves it: a host
    written "v1.NAME/" whose name has an IPv6 address is put into brackets."""
    if looks_ipv6(remainder):
        return (LPR if host_with_port(remainder) else LPR6), remainder
    if remainder.startswith("v1.") and "/" in remainder:
        host, _, path = remainder.partition("/")
        if has_ipv6_address(host[len("v1."):].split("+", 1)[0]):
            return LPR6, f"[{host}]/{path}"
    return LPR, remainder


def complete_zone(remainder):
    """A link-local address needs its zone: "+" and the interface, "en0" when none."""
    match = re.match(r"\[v1\.(fe80:[^\]]*)\]", remainder, re.IGNORECASE)
    if not match:
        return remainder
    address = match.group(1)
    if "+" not in address:
        address = address.replace("%", "+") if "%" in address else address + "+"
    if address.endswith("+"):
        address += "en0"
    return "[v1." + address + "]" + remainder[match.end():]


def escape_for_command_line(text):
    return "".join(f"%{ord(c):02X}" if ord(c) in COMMAND_LINE_ESCAPED else c for c in text)


def maker_path(path):
    """The path freed of its escapes and encoded the maker's way; "" when an escape does
    not decode to UTF-8 text."""
    raw = path.encode("utf-8")
    decoded = bytearray()
    i = 0
    while i < len(raw):
        if raw[i] == ord("%"):
            digits = raw[i + 1 : i + 3]
            if len(digits) < 2 or not set(digits) <= HEX:
                return ""
            decoded.append(int(digits, 16))
            i += 3
        else:
            decoded.append(raw[i])
            i += 1
    try:
        bytes(decoded).decode("utf-8")
    except UnicodeDecodeError:
        return ""
    return "".join(chr(b) if b in UNRESERVED else f"%{b:02X}" for b in decoded)


def expected_backend_uri(queue, uri):
    """The backend URI that lpadmin must be given for the queue, or None when the queue
    must be left alone."""
    for prefix, fixed_type, scheme in RULES:
        if uri.startswith(prefix):
            break
    else:
        return None
    remainder = uri[len(prefix):]
    connection_type = fixed_type
    if connection_type is None:
        connection_type, remainder = network_type(remainder)
    ipv6 = connection_type == LPR6
    if ipv6:
        remainder = complete_zone(remainder)
    escaped = escape_for_command_line(remainder)
    if ipv6:
        dot = escaped.find(".")
        escaped = "[v1." + (escaped[dot + 1 :] if dot >= 0 else escaped[1:])
    address = scheme + escaped
    if connection_type in (LPR, LPR6):
        slash = address.find("/", len("lpd://"))
        if slash >= 0 and slash + 1 < len(address):
            address = address[: slash + 1] + maker_path(address[slash + 1 :])
    backend_uri = f"xvtdbmu://{connection_type}/{queue}/{address}"
    # Never cut short: what does not fit in 1023 bytes leaves the queue alone.
    return backend_uri if len(backend_uri.encode()) <= 1023 else None


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


# Held by the running agent so that a second one of the session ends at once.
SESSION_LOCK = "zelcups-agent.lock"


class Road:
    """The agent's surroundings for one case: a work folder the session user can write,
    the recording lpadmin first on PATH, and the logs of lpadmin and the plug-in."""

    def __init__(self, run, hold=False):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK + "/bin")
        os.makedirs(WORK + "/cwd")
        uid, gid = user_ids()
        for path in (WORK, WORK + "/cwd"):
            os.chown(path, uid, gid)
        shutil.copy(run.fixture("lpadmin"), WORK + "/bin/lpadmin")
        os.chmod(WORK + "/bin/lpadmin", 0o755)
        self.lpadmin_log = WORK + "/lpadmin.log"
        self.plugin_log = WORK + "/plugin.log"
        self.hold_path = WORK + "/hold"
        if hold:
            self.hold()
        self.run = run
        self.env = dict(
            os.environ,
            PATH=WORK + "/bin:" + os.environ.get("PATH", "/usr/bin:/bin"),
            ZELCUPS_LPADMIN_LOG=self.lpadmin_log,
            ZELCUPS_LPADMIN_HOLD=self.hold_path,
            ZELCUPS_INFO_PLUGIN_LOG=self.plugin_log,
            LC_ALL="C.UTF-8",
        )
        self.runtime_before = set(os.listdir(runtime_dir()))

    def hold(self):
        with open(self.hold_path, "w", encoding="ascii"):
            pass

    def release(self):
        os.unlink(self.hold_path)

    def start_agent(self, user=SESSION_USER):
        """Starts the agent and waits for its first snapshot: the agent catches quit
        requests from its first instruction on, so being ready says nothing about the
        snapshot, and a queue added before it would belong to the baseline."""
        looks = FolderLooks()
        try:
            agent = self.run.start_agent(self.env, user=user, cwd=WORK + "/cwd")
            agent.wait_ready()
            looks.wait_for_more(0, 10.0, f"{agent.label} to take its first snapshot")
            if os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
                wait_for(observes_posts, 10.0, f"{agent.label} to observe status posts")
        finally:
            looks.close()
        return agent

    def calls(self):
        """Every lpadmin call so far: dicts with "argv" as text (bytes kept through
        surrogate escapes), "ppd" and "uid"."""
        try:
            with open(self.lpadmin_log, encoding="ascii") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        calls = []
        for line in lines:
            call = json.loads(line)
            call["argv"] = [os.fsdecode(bytes.fromhex(a)) for a in call["argv"]]
            calls.append(call)
        return calls

    def calls_for(self, queue):
        return [c for c in self.calls() if len(c["argv"]) > 2 and c["argv"][2] == queue]

    def plugin_groups(self):
        """The plug-in calls, one list per Info_Initialize, by queue name."""
        groups = {}
        current = None
        try:
            with open(self.plugin_log, encoding="utf-8", errors="surrogateescape") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return groups
        for line in lines:
            if line.startswith("Info_Initialize "):
                queue = re.match(r"Info_Initialize \[[^\]]*\] \[(.*)\] \[", line).group(1)
                current = groups.setdefault(queue, [])
            ignored = ("load ", "unload", "Info_CheckSandbox")
            if current is not None and not line.startswith(ignored):
                current.append(line)
        return groups

    def leftovers(self):
        """Files the agent left in the session's runtime folder or the temporary folder,
        besides the lock that keeps a second agent of the session from starting and the
        snapshot that the next agent of the session starts from."""
        kept = {SESSION_LOCK, SNAPSHOT_FILE}
        left = sorted(set(os.listdir(runtime_dir())) - self.runtime_before - kept)
        uid = user_ids()[0]
        for name in os.listdir("/tmp"):
            path = os.path.join("/tmp", name)
            if path != WORK and os.lstat(path).st_uid == uid:
                left.append(path)
        return left


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


def check_repointed_once(road, queue, uri):
    """lpadmin ran exactly once for the queue, with the exact argument vector, a private
    copy of the PPD (the user cannot read the scheduler's), and the queue now has the
    backend URI."""
    expected = expected_backend_uri(queue, uri)
    calls = road.calls_for(queue)
    check(
        len(calls) == 1,
        f"{queue!r}: lpadmin ran {len(calls)} times: {[c['argv'] for c in calls]}",
    )
    argv = calls[0]["argv"]
    check(
        argv[:6] == ["lpadmin", "-p", queue, "-v", expected, "-P"] and len(argv) == 7,
        f"{queue!r}: lpadmin argv {argv!r}, expected ['lpadmin', '-p', {queue!r}, '-v', "
        f"{expected!r}, '-P', PPD]",
    )
    ppd_path, ppd = argv[6], calls[0]["ppd"]
    check(
        not ppd_path.startswith(PPD_DIR + "/"),
        f"{queue!r}: -P {ppd_path}, unreadable to the user",
    )
    check(
        os.path.dirname(ppd_path) == runtime_dir(),
        f"{queue!r}: -P {ppd_path} not in {runtime_dir()}",
    )
    check(ppd["exists"] and ppd["size"] > 0, f"{queue!r}: -P file when lpadmin ran: {ppd}")
    check(ppd["mode"] & 0o7777 == 0o600, f"{queue!r}: -P file mode {ppd['mode'] & 0o7777:o}")
    check(ppd["uid"] == user_ids()[0], f"{queue!r}: -P file owned by {ppd['uid']}")
    check(not os.path.exists(ppd_path), f"{queue!r}: the PPD copy {ppd_path} was left behind")
    check(
        device_uri(queue) == expected,
        f"{queue!r}: device URI {device_uri(queue)}, expected {expected}",
    )


def wait_repointed(queues, timeout):
    """Waits until every queue has a device URI of the backend's scheme; returns when each
    was first seen so."""
    seen = {}

    def all_seen():
        now = time.monotonic()
        uris = device_uris()
        for queue in queues:
            if queue not in seen and (uris.get(queue) or "").startswith("xvtdbmu://"):
                seen[queue] = now
        return len(seen) == len(queues)

    try:
        wait_for(all_seen, timeout, "the queues to be re-pointed", interval=0.1)
    except TestFailure:
        missing = {q: device_uri(q) for q in queues if q not in seen}
        raise TestFailure(f"not re-pointed within {timeout:g}s: {missing}") from None
    return seen


def add_at_once(rows):
    """Adds (name, ppd, uri) queues from four hands at once; returns when each was added."""
    added = {}

    def add(row):
        add_queue(*row)
        added[row[0]] = time.monotonic()

    with ThreadPoolExecutor(4) as pool:
        list(pool.map(add, rows))
    return added


def quit_cleanly(agent):
    status, seconds = agent.stop(signal.SIGTERM)
    check(status == 0, f"{agent.label} quit with {agent.describe_status()}, expected 0")
    check(seconds < 1.0, f"{agent.label} took {seconds:.2f}s to quit")


def alerts():
    """Notify calls that are not status notices."""
    return [args for _, args in notification_calls("Notify") if args[3] != NOTICE_TITLE]


def status_notices():
    return [args[4] for _, args in notification_calls("Notify") if args[3] == NOTICE_TITLE]


def check_no_admin_line(agent):
    check("administer" not in agent.output(), f"{agent.label} said: {agent.output()}")


# --- the edge cases as a table --------------------------------------------------------

FAMILY = "arvex-qrx5"
OTHER = "other-maker"

# Present when the agent starts: never touched, unless their PPD changes.
AT_START = (
    ("Early", FAMILY, "socket://10.0.0.20"),
    ("Reloaded", FAMILY, "socket://10.0.0.21"),
    ("Lobby", OTHER, "lpd://10.0.0.6/queue"),
)
# Added while the agent runs.
NEW_QUEUES = (
    ("Office", FAMILY, "socket://10.0.0.5"),
    ("Bonjour", FAMILY, "dnssd://Office%20Printer._printer._tcp.local./"),
    ("LinkLocal", FAMILY, "lpd://[v1.fe80::1]/lp"),
    ("LinkLocalZone", FAMILY, "lpd://[v1.fe80::1+eth0]/lp"),
    ("Usb", FAMILY, "usb://Arvex/QRX5?serial=1"),
    ("Parens", FAMILY, "lpd://10.0.0.5/queue(1)"),
    ("IppPort", FAMILY, "ipp://192.168.0.5:631/ipp"),
    ("Global6", FAMILY, "ipp://[2001:db8::5]:631/ipp"),
    ("Global6Socket", FAMILY, "socket://[2001:db8::5]:9100"),
    ("Mdns", FAMILY, "mdns://Lab%20Printer._ipp._tcp.local./"),
    ("Escapes", FAMILY, "lpd://10.0.0.5/Print%20Queue%c3%a9%2Fx"),
    ("NoDecode", FAMILY, "lpd://10.0.0.5/bad%ff"),
    ("NamePort", FAMILY, "socket://printer.example:9100"),
    ("IppPath", FAMILY, "ipp://10.0.0.5/ipp/print"),
    # "v1." and a name: IPv6 when the name has an IPv6 address (/etc/hosts: ip6-localhost)
    ("V1Name", FAMILY, "lpd://v1.ip6-localhost/q"),
    ("V1NoName", FAMILY, "lpd://v1.printer-without-v6/q"),
    ("LongFits", FAMILY, "lpd://10.0.0.5/" + "a" * 880),
    # left alone: a backend URI over 1023 bytes
    ("TooLong", FAMILY, "lpd://10.0.0.5/" + "a" * 990),
    # left alone: a scheme not in the table, one already the backend's, another maker
    ("Secure", FAMILY, "ipps://10.0.0.5/ipp/print"),
    ("Web", FAMILY, "http://10.0.0.5:631/ipp/print"),
    ("Pointed", FAMILY, "xvtdbmu://ZEL_QRX5_LPR/Pointed/lpd://10.0.0.7"),
    ("Lobby2", OTHER, "socket://10.0.0.8"),
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


def is_handled(row):
    return row[1] == FAMILY and expected_backend_uri(row[0], row[2]) is not None


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
    if any(uri.startswith(prefix) for prefix, _, _ in RULES):
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
    agent.process.send_signal(signal.SIGTERM)
    time.sleep(0.5)
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


# --- the alert (no plug-in) -----------------------------------------------------------


def english(key, run):
    """The English text of a key of the agent's catalogue in the built share/ folder."""
    locale_dir = os.path.join(run.fixture("share"), "locale")
    translation = gettext.translation("zelcups-agent", locale_dir, languages=["en"])
    text = translation.gettext(key)
    check(text != key, f"the English catalogue has no text for {key!r}")
    return text


def check_alert_form(args, run, queue):
    _, replaces_id, _, summary, body, actions, _, expire_timeout = args
    check(summary == english("Libinfo Get Error Title", run), f"alert summary {summary!r}")
    check(body == queue, f"alert body {body!r}, not the queue's name {queue!r}")
    check(expire_timeout == 0, f"alert expire timeout {expire_timeout}")
    check(replaces_id == 0, f"alert replaces {replaces_id}")
    pairs = list(zip(actions[::2], actions[1::2]))
    check(len(actions) % 2 == 0 and all(label for _, label in pairs), f"alert actions {actions}")
    buttons = [label for key, label in pairs if key != "default"]
    check(buttons == [english("Bidi Add Error OK", run)], f"alert buttons {actions}")


def fresh_notification_service():
    """A new notification double, whose notice ids count from 1 again."""
    stop_notification_service()
    start_notification_service()


def alert_ids():
    """The ids the notification double gave the alerts, in order: a fresh double counts
    its Notify calls from 1."""
    ids = []
    for i, (method, args) in enumerate(notification_calls("Notify")):
        if args[3] != NOTICE_TITLE:
            ids.append(i + 1)
    return ids


def add_in_one_tick(agent, rows):
    os.kill(agent.pid, signal.SIGSTOP)
    try:
        for row in rows:
            add_queue(*row)
    finally:
        os.kill(agent.pid, signal.SIGCONT)


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
    check(
        status_notices() == [],
        f"a status notice while the second alert waits: {status_notices()}",
    )

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


def install_plugin_atomically(path):
    """Puts a plug-in in place with a rename, so that no one ever loads a half-copied one."""
    os.makedirs(os.path.dirname(PLUGIN_PATH), exist_ok=True)
    shutil.copyfile(path, PLUGIN_PATH + ".new")
    os.rename(PLUGIN_PATH + ".new", PLUGIN_PATH)


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
