"""Helpers for end-to-end tests of the agent, run inside scripts/sandbox.

A test file defines functions named test_* that take one argument, a Run, and calls
main(globals()) at the bottom. Run it as

    scripts/sandbox /usr/bin/python3 tests/e2e/FILE.py --agent build/bin/zelcups-agent [NAME...]

Each named case (all when none is named) runs in turn; a failing case prints its
traceback, the output of every agent it started, and the scheduler's and the notification
double's logs. Always /usr/bin/python3: the notification double and python3-dbus live
there, not in whatever interpreter PATH offers.

The harness runs as root, because it controls the scheduler. The agent, and whatever a
person at the desktop does by hand (adding queues, posting status notices), runs as the
sandbox's session user, as on a desktop: see as_user().
"""

import gettext
import json
import math
import os
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import traceback
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.normpath(os.path.join(HERE, "..", "fixtures"))
PPD_DIR = "/etc/cups/ppd"
DRIVER_DIR = "/Library/Printers/Arvex/QRX5"
PROFILE_PATH = DRIVER_DIR + "/Resources/ProductProfile.plist"
PLUGIN_PATH = DRIVER_DIR + "/Libs/libinfo.dylib"
PROFILE_KEY = "com.arvex.driver.QRX5.NotificationObject"
NOTIFICATIONS_NAME = "org.freedesktop.Notifications"
NOTIFICATIONS_PATH = "/org/freedesktop/Notifications"
# Where the driver posts its status notifications, and the object the sandbox's default
# product profile names.
STATUS_PATH = "/com/arvex/DistributedNotifications"
STATUS_INTERFACE = "com.arvex.DistributedNotifications"
STATUS_SIGNAL = "Notification"
STATUS_NAME = "PMNotification"
DEFAULT_NOTIFICATION_OBJECT = "com.arvex.QRX5.StatusMonitor"
NOTICE_TITLE = "Arvex DORVIK Printer Driver"

# The agent's fixed watcher period; tests that wait for "nothing happened" wait whole
# periods of it.
TICK_SECONDS = 3.0
QUIT_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)

# The sandbox's desktop users (scripts/sandbox): the session user, who runs the agent;
# the one who may administer printers (the same unless the sandbox runs --outsider).
SESSION_USER = os.environ.get("ZELCUPS_USER", "desk")
ADMIN_USER = os.environ.get("ZELCUPS_ADMIN_USER", "desk")
OUTSIDER_USER = os.environ.get("ZELCUPS_OUTSIDER_USER", "guest")


# Debian's PATH for ordinary users (/etc/login.defs, /etc/profile): no sbin folder, so
# not the one lpadmin lives in.
DEBIAN_USER_PATH = "/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games"
# What the agent keeps in the session's runtime folder from one run to the next.
SNAPSHOT_FILE = "zelcups-agent.snapshot"
BACKEND_PATH = "/usr/lib/cups/backend/xvtdbmu"
# Said once at start-up by an agent without a usable machine folder.
MACHINE_FOLDER_LINE = re.compile(r"^(<4>)?zelcups-agent: the machine folder .* may handle the same queues\n",
                                 re.M)


class TestFailure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise TestFailure(message)


# --- waiting --------------------------------------------------------------------------


def wait_for(condition, timeout, what, interval=0.05):
    """Polls condition() until it returns a true value, which is returned; fails with
    `what` in the message after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TestFailure(f"timed out after {timeout:g}s waiting for {what}")
        time.sleep(interval)


# --- users ----------------------------------------------------------------------------


def user_ids(user=None):
    """(uid, gid) of a sandbox user, the session user by default."""
    import pwd

    entry = pwd.getpwnam(user or SESSION_USER)
    return entry.pw_uid, entry.pw_gid


def runtime_dir(user=None):
    """The user's $XDG_RUNTIME_DIR, as the sandbox made it."""
    return f"/run/user/{user_ids(user)[0]}"


def user_env(env=None, user=None):
    """`env` (the harness's environment by default) as `user` sees it in the session:
    the user's HOME, USER, LOGNAME and XDG_RUNTIME_DIR; the rest (PATH, the locale, the
    session bus) stays."""
    import pwd

    entry = pwd.getpwnam(user or SESSION_USER)
    result = dict(os.environ if env is None else env)
    result.update(
        HOME=entry.pw_dir, USER=entry.pw_name, LOGNAME=entry.pw_name,
        XDG_RUNTIME_DIR=runtime_dir(entry.pw_name),
    )
    # None in `env` unsets the variable, as in a session without it.
    return {k: v for k, v in result.items() if (env or {}).get(k, "") is not None}


def as_user(argv, user=None):
    """`argv` run as `user` (the session user by default), with that user's groups. Give
    it user_env() as its environment."""
    uid, gid = user_ids(user)
    return ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--init-groups", "--", *argv]


def add_to_group(user, group):
    """Adds `user` to `group` in the sandbox's group list, in place, as an administrator
    does while the user's session runs."""
    with open("/etc/group", "r+", encoding="utf-8") as f:
        text = re.sub(rf"^({group}:[^:]*:[^:]*:)(.*)$",
                      lambda m: m[1] + ",".join(filter(None, [m[2], user])), f.read(), flags=re.M)
        f.seek(0)
        f.write(text)
        f.truncate()


def new_session():
    """Logging out empties the runtime folder: the agent's state goes (the bus stays)."""
    path = os.path.join(runtime_dir(), SNAPSHOT_FILE)
    if os.path.exists(path):
        os.unlink(path)


class effective_user:
    """Within the block the harness acts as `user` for what it opens (a bus connection
    authenticates with the credentials of its connect()), and as root again afterwards."""

    def __init__(self, user=None):
        self.uid, self.gid = user_ids(user)

    def __enter__(self):
        os.setegid(self.gid)
        os.seteuid(self.uid)
        return self

    def __exit__(self, *exc):
        os.seteuid(0)
        os.setegid(0)
        return False


# --- commands -------------------------------------------------------------------------


def observes_posts():
    """True once the session bus holds an agent's match rule for status posts: posts sent
    before it are not delivered to the agent."""
    rules = run(
        "gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
        "--object-path", "/org/freedesktop/DBus",
        "--method", "org.freedesktop.DBus.Debug.Stats.GetAllMatchRules",
    )
    return "interface='com.arvex.DistributedNotifications'" in rules


def run(*argv, check_status=True, user=None):
    """Runs a command in the C locale and returns its standard output; as `user` (a name)
    when given, with that user's session environment, else as the harness."""
    env = dict(os.environ, LC_ALL="C", LANG="C")
    if user is not None:
        env = user_env(env, user)
        argv = tuple(as_user(argv, user))
    done = subprocess.run(
        argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True
    )
    if check_status and done.returncode != 0:
        raise TestFailure(
            f"{' '.join(argv)} ended with status {done.returncode}:\n"
            f"{done.stdout}{done.stderr}"
        )
    return done.stdout


# --- queues ---------------------------------------------------------------------------


def fixture_ppd(name):
    """Path of a fixture PPD: "arvex-qrx5" (the driver family) or "other-maker"."""
    path = os.path.join(FIXTURES, "ppd", name + ".ppd")
    check(os.path.isfile(path), f"no fixture PPD {path}")
    return path


def add_queue(name, ppd="arvex-qrx5", device_uri="socket://10.0.0.5"):
    """Adds (or modifies) a queue with a fixture PPD (a name) or a PPD file (a path), as
    the user who administers printers does; the scheduler copies the PPD to
    /etc/cups/ppd/NAME.ppd (root:lp, 0640)."""
    path = ppd if os.path.sep in ppd else fixture_ppd(ppd)
    run("lpadmin", "-p", name, "-E", "-v", device_uri, "-P", path, user=ADMIN_USER)


def remove_queue(name):
    run("lpadmin", "-x", name, user=ADMIN_USER)


def device_uris():
    """Every queue's device URI, by queue name."""
    uris = {}
    for line in run("lpstat", "-v", check_status=False).splitlines():
        prefix, sep, uri = line.partition(": ")
        if sep and prefix.startswith("device for "):
            uris[prefix[len("device for ") :]] = uri.strip()
    return uris


def device_uri(name):
    """The queue's device URI, or None when there is no such queue."""
    return device_uris().get(name)


def remove_all_queues():
    # The harness's own clean-up, as root.
    for name in device_uris():
        run("lpadmin", "-x", name)


# --- the scheduler --------------------------------------------------------------------

_cupsd_pid = [int(os.environ.get("ZELCUPS_CUPSD_PID", "0"))]


def _process_gone(pid):
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as f:
            return f.read().rpartition(")")[2].split()[0] == "Z"
    except OSError:
        return True


def scheduler_running():
    done = subprocess.run(
        ["lpstat", "-r"], env=dict(os.environ, LC_ALL="C"), capture_output=True, text=True,
        stdin=subprocess.DEVNULL,
    )
    return "scheduler is running" in done.stdout


def stop_scheduler():
    """Ends the sandbox's scheduler (the one it started, or the last start_scheduler's)."""
    pid = _cupsd_pid[0]
    check(pid > 0 and not _process_gone(pid), "no scheduler to stop")
    os.kill(pid, signal.SIGTERM)
    wait_for(lambda: _process_gone(pid), 20.0, "the scheduler to end")
    wait_for(lambda: not scheduler_running(), 10.0, "the scheduler to stop answering")


def start_scheduler():
    """Starts the scheduler again, as the sandbox does."""
    process = subprocess.Popen(
        ["/usr/sbin/cupsd", "-f", "-c", "/etc/cups/cupsd.conf", "-s", "/etc/cups/cups-files.conf"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    _cupsd_pid[0] = process.pid
    wait_for(scheduler_running, 30.0, "the scheduler to answer")


def scheduler_requests(operation):
    """How many requests of the IPP operation (e.g. "CUPS-Get-PPD") the scheduler logged."""
    with open("/var/log/cups/access_log", encoding="utf-8", errors="replace") as f:
        return f.read().count(f" {operation} ")


class silent_dns:
    """Within the block the name servers of /etc/resolv.conf take every question and answer
    none; asked() tells whether one came. Afterwards lookups fail at once again."""

    def __enter__(self):
        import socket

        with open("/etc/resolv.conf", encoding="ascii") as f:
            servers = [l.split()[1] for l in f if l.startswith("nameserver")] or ["127.0.0.1"]
        self.sockets = [socket.socket(socket.AF_INET6 if ":" in a else socket.AF_INET,
                                      socket.SOCK_DGRAM) for a in servers]
        for sock, address in zip(self.sockets, servers):
            run("ip", "addr", "add", address, "dev", "lo", check_status=False)
            sock.bind((address, 53))
        return self

    def asked(self):
        import select

        return bool(select.select(self.sockets, [], [], 0)[0])

    def __exit__(self, *exc):
        for sock in self.sockets:
            sock.close()


# --- driver directory -----------------------------------------------------------------


def write_profile(notification_object):
    """Installs a product profile naming `notification_object`."""
    os.makedirs(os.path.dirname(PROFILE_PATH), exist_ok=True)
    with open(PROFILE_PATH, "w", encoding="utf-8") as f:
        f.write(
            '<?xml version="1.0" encoding="UTF-8"?>\n'
            '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" '
            '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n'
            '<plist version="1.0">\n<dict>\n'
            f"\t<key>{PROFILE_KEY}</key>\n\t<string>{notification_object}</string>\n"
            "</dict>\n</plist>\n"
        )


def remove_profile():
    if os.path.exists(PROFILE_PATH):
        os.unlink(PROFILE_PATH)


def install_plugin(path):
    """Places a built test plug-in where the agent loads the driver's info plug-in."""
    os.makedirs(os.path.dirname(PLUGIN_PATH), exist_ok=True)
    shutil.copyfile(path, PLUGIN_PATH)


# --- notification double --------------------------------------------------------------


def _plain(value):
    """dbus-python values as plain Python values."""
    import dbus

    if isinstance(value, (dbus.String, dbus.ObjectPath, dbus.Signature)):
        return str(value)
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, float):
        return float(value)
    if isinstance(value, (int, dbus.Byte)):
        return int(value)
    if isinstance(value, dict):
        return {_plain(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _mock():
    import dbus

    bus = dbus.SessionBus()
    return dbus.Interface(
        bus.get_object(NOTIFICATIONS_NAME, NOTIFICATIONS_PATH), "org.freedesktop.DBus.Mock"
    )


def notification_calls(method=None):
    """The calls the notification double recorded, oldest first, as (method, [args]);
    only those of `method` when it is given."""
    calls = [(_plain(name), _plain(args)) for _, name, args in _mock().GetCalls()]
    return [c for c in calls if method is None or c[0] == method]


def clear_notification_calls():
    _mock().ClearCalls()


def emit_notification_signal(name, signature, args):
    """Has the notification double emit one of its service's signals from its own
    connection, as the real service does (ActionInvoked "us", NotificationClosed "uu")."""
    _mock().EmitSignal(NOTIFICATIONS_NAME, name, signature, args)


def _bus_call(method, *args):
    import dbus

    bus = dbus.SessionBus()
    proxy = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    return getattr(dbus.Interface(proxy, "org.freedesktop.DBus"), method)(*args)


def notification_service_running():
    return bool(_bus_call("NameHasOwner", NOTIFICATIONS_NAME))


def stop_notification_service():
    """Ends the notification double: the service leaves the bus."""
    pid = int(_bus_call("GetConnectionUnixProcessID", NOTIFICATIONS_NAME))
    os.kill(pid, signal.SIGTERM)
    wait_for(lambda: not notification_service_running(), 10.0, "the notification double to leave")


def start_notification_service():
    """Starts a notification double as the session user; it runs until the sandbox ends."""
    subprocess.Popen(
        as_user(["/usr/bin/python3", "-m", "dbusmock", "--session", "-t", "notification_daemon"]),
        env=user_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True,
    )
    wait_for(notification_service_running, 20.0, "the notification double")


def notices():
    """The arguments of every Notify call the notification double recorded, oldest first:
    [app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout]."""
    return [args for _, args in notification_calls("Notify")]


def gvariant_string(text):
    """GVariant text of a string."""
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def post_status(notification_object, user_info, name=STATUS_NAME):
    """Posts a status notification with gdbus emit, as any process of the session user on
    the session bus can. `user_info` is an a{sv} in GVariant text ("@a{sv} {}" for an
    empty one); the empty object stands for none."""
    run(
        "gdbus", "emit", "--session", "--object-path", STATUS_PATH,
        "--signal", f"{STATUS_INTERFACE}.{STATUS_SIGNAL}",
        gvariant_string(name), gvariant_string(notification_object), user_info,
        user=SESSION_USER,
    )


class StatusPoster:
    """Posts status notifications from one connection of its own, the session user's, in
    order; for volume. User-info values are dbus-python values, whose types give their
    D-Bus types."""

    def __init__(self):
        import dbus

        self._dbus = dbus
        with effective_user(SESSION_USER):
            self._bus = dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])

    def post(self, notification_object, user_info, name=STATUS_NAME):
        dbus = self._dbus
        message = dbus.lowlevel.SignalMessage(STATUS_PATH, STATUS_INTERFACE, STATUS_SIGNAL)
        message.append(
            name, notification_object, dbus.Dictionary(user_info, signature="sv"),
            signature="ssa{sv}",
        )
        self._bus.send_message(message)

    def flush(self):
        self._bus.flush()

    def close(self):
        self._bus.flush()
        self._bus.close()


# --- the agent ------------------------------------------------------------------------


def _readlink_or_none(path):
    try:
        return os.readlink(path)
    except OSError:
        return None


def _signal_mask(pid, field):
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1], 16)
    return 0


class Agent:
    """One run of the agent binary (or of any command standing in for it), its output
    kept in a file."""

    def __init__(self, argv, label, env=None, user=None, cwd="/"):
        """Runs as `user` (a name) with that user's session environment made from `env`
        (the harness's by default), or as the harness itself when `user` is None. It runs
        from `cwd`, by default /, so that it holds no folder of the tree open."""
        self.argv = list(argv)
        if os.path.sep in self.argv[0]:
            self.argv[0] = os.path.abspath(self.argv[0])
        self.label = label
        self.user = user
        self.status = None
        self._log = tempfile.NamedTemporaryFile(prefix="agent-", suffix=".log", delete=False)
        if (env or {}).get("JOURNAL_STREAM") == "the log":  # as if the log were the journal
            log = os.fstat(self._log.fileno())
            env = dict(env, JOURNAL_STREAM=f"{log.st_dev}:{log.st_ino}")
        argv = self.argv
        if user is not None:
            env = user_env(env, user)
            argv = as_user(argv, user)
        # setpriv executes the agent in its own place, so the process is the agent's. A
        # session of its own, as under the user's service manager: no terminal to ask on.
        self.process = subprocess.Popen(
            argv,
            stdin=subprocess.DEVNULL,
            stdout=self._log,
            stderr=subprocess.STDOUT,
            cwd=cwd,
            env=env,
            start_new_session=True,
        )
        self.pid = self.process.pid

    def alive(self):
        return self.process.poll() is None

    def catches_quit_signals(self):
        """True once the agent's loop reads every quit request through its signalfd. The
        launcher blocks the signals before anything else runs, so a blocked mask alone says
        nothing about how far start-up has come (the claim on the session, above all)."""
        try:
            handled = _signal_mask(self.pid, "SigCgt") | _signal_mask(self.pid, "SigBlk")
            fds = os.listdir(f"/proc/{self.pid}/fd")
            reads = any(_readlink_or_none(f"/proc/{self.pid}/fd/{fd}") == "anon_inode:[signalfd]"
                        for fd in fds)
        except OSError:
            return False
        return reads and all(handled & (1 << (int(s) - 1)) for s in QUIT_SIGNALS)

    def wait_loading(self, timeout=10.0):
        """Returns once the process runs a program of the agent's name (no longer the one
        that switches users) and the loader has mapped one of its libraries: a signal sent
        now comes while the loader works, before any code of the agent's, unless this
        harness was the slower. (Earlier, in the last steps of the exec itself, a signal
        kills any program, however it starts.)"""
        name = os.path.basename(self.argv[0])
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.alive():
            try:
                if os.path.basename(os.readlink(f"/proc/{self.pid}/exe")) == name:
                    with open(f"/proc/{self.pid}/maps", encoding="utf-8") as f:
                        if re.search(r"/lib[^/\n]*\.so", f.read()):
                            return
            except OSError:
                pass
        check(not self.alive(), f"{self.label} mapped no library as {name} within {timeout:g}s")

    def wait_ready(self, timeout=10.0):
        wait_for(
            lambda: self.catches_quit_signals() or not self.alive(),
            timeout,
            f"{self.label} to install its quit handlers",
        )
        check(self.alive(), f"{self.label} ended during start-up: {self.describe_status()}")
        if self.user is not None:
            uid = os.stat(f"/proc/{self.pid}").st_uid
            check(uid == user_ids(self.user)[0], f"{self.label} runs as uid {uid}, not {self.user}")

    def cpu_seconds(self):
        """User plus system CPU time consumed so far."""
        with open(f"/proc/{self.pid}/stat", encoding="ascii") as f:
            fields = f.read().rpartition(")")[2].split()
        # Fields 14 and 15 of stat(5); the split starts at field 3.
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def proc_status(self, field):
        """A field of /proc/PID/status in kB (VmRSS, VmHWM and the like)."""
        with open(f"/proc/{self.pid}/status", encoding="ascii") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        raise TestFailure(f"no {field} in the status of {self.label}")

    def stay_alive(self, seconds):
        """Watches the agent for `seconds`, failing at once should it end."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            check(self.alive(), f"{self.label} ended: {self.describe_status()}")
            time.sleep(0.05)

    def stop(self, sig=signal.SIGTERM, timeout=5.0):
        """Sends `sig`, waits for the end and returns (status, seconds it took). A process
        still running after `timeout` is killed and the test fails."""
        start = time.monotonic()
        if self.alive():
            self.process.send_signal(sig)
        try:
            self.status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.status = self.process.wait()
            raise TestFailure(f"{self.label} ignored {sig.name} for {timeout:g}s")
        return self.status, time.monotonic() - start

    def describe_status(self):
        status = self.process.poll()
        if status is None:
            return "still running"
        if status < 0:
            return f"killed by {signal.Signals(-status).name}"
        return f"exit status {status}"

    def journal(self):
        """The agent's lines about queues, by queue: what became of each, in order."""
        lines = {}
        for line in self.output().splitlines():
            match = re.fullmatch(r"(?:<\d>)?zelcups-agent: queue (.*?) (re-pointed to .*|left alone: .*)",
                                 line)
            if match:
                lines.setdefault(match.group(1), []).append(match.group(2))
        return lines

    def output(self, machine_line=False):
        """What the agent wrote; without the start-up line of an agent that found no machine
        folder (the sandbox has none unless a case makes one) unless `machine_line`."""
        self._log.flush()
        with open(self._log.name, encoding="utf-8", errors="replace") as f:
            text = f.read()
        return text if machine_line else MACHINE_FOLDER_LINE.sub("", text)

    def kill(self):
        if self.alive():
            self.process.kill()
            self.process.wait()


# --- looks at the PPD folder ----------------------------------------------------------


class FolderLooks:
    """Counts the opens of the PPD folder itself (a listing: the agent's start-up snapshot,
    or a tick after the folder changed), through inotify, which sees them whatever the
    mount options; the folder's access time does not under noatime. The scheduler writes
    its PPD files without listing the folder, and nothing else in the sandbox lists it."""

    _IN_OPEN = 0x20
    _IN_ISDIR = 0x40000000
    _IN_NONBLOCK = 0o4000
    _IN_CLOEXEC = 0o2000000
    _EVENT = struct.Struct("iIII")

    def __init__(self, path=PPD_DIR):
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        self._fd = libc.inotify_init1(self._IN_NONBLOCK | self._IN_CLOEXEC)
        check(self._fd >= 0, f"inotify_init1: {os.strerror(ctypes.get_errno())}")
        watch = libc.inotify_add_watch(self._fd, os.fsencode(path), self._IN_OPEN)
        check(watch >= 0, f"inotify_add_watch {path}: {os.strerror(ctypes.get_errno())}")
        self._count = 0

    def count(self):
        while True:
            try:
                data = os.read(self._fd, 65536)
            except BlockingIOError:
                return self._count
            offset = 0
            while offset < len(data):
                _, mask, _, length = self._EVENT.unpack_from(data, offset)
                offset += self._EVENT.size + length
                if mask & self._IN_ISDIR and length == 0:
                    self._count += 1

    def wait_for_more(self, than, timeout, what):
        wait_for(lambda: self.count() > than, timeout, what)

    def close(self):
        os.close(self._fd)


# --- running cases --------------------------------------------------------------------


class Run:
    """What one case works with: the agent command line, the built fixtures named on the
    command line (--fixture NAME=PATH), and every agent it started."""

    def __init__(self, agent_argv, fixtures=None):
        self.agent_argv = agent_argv
        self.fixtures = dict(fixtures or {})
        self.agents = []

    def fixture(self, name):
        check(name in self.fixtures, f"this case needs --fixture {name}=PATH")
        return self.fixtures[name]

    def start_agent(self, env=None, user=SESSION_USER, cwd="/"):
        """Starts the agent as the session user (or as `user`; None: as the harness), in
        that user's session environment made from `env` (the harness's by default)."""
        agent = Agent(self.agent_argv, f"agent #{len(self.agents) + 1}", env, user, cwd)
        self.agents.append(agent)
        return agent

    def finish(self):
        for agent in self.agents:
            agent.kill()


def _print_file(title, path, tail_lines=60):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        return
    print(f"---- {title} ({path}) ----")
    print("\n".join(lines[-tail_lines:]) if lines else "(empty)")


def _report_failure(run_):
    for agent in run_.agents:
        print(f"---- output of {agent.label}, pid {agent.pid}, {agent.describe_status()} ----")
        text = agent.output()
        print(text if text else "(no output)")
    _print_file("scheduler error log", "/var/log/cups/error_log")
    state = os.environ.get("ZELCUPS_SANDBOX_DIR", "/run/zelcups-sandbox")
    _print_file("notification service", os.path.join(state, "notifications.out"))


_services_at_start = {}

# Where an agent built with the sanitizers writes its reports (log_path in ASAN_OPTIONS and
# UBSAN_OPTIONS): any report there fails the case that was running.
SANITIZER_LOG_DIR = os.environ.get("ZELCUPS_SANITIZER_LOG_DIR")


def _prepare_sanitizer_logs():
    if SANITIZER_LOG_DIR:
        os.makedirs(SANITIZER_LOG_DIR, exist_ok=True)
        # The agent runs as the session user, lpadmin and the plug-ins as whoever calls them.
        os.chmod(SANITIZER_LOG_DIR, 0o1777)


def _new_sanitizer_reports():
    """Reports written since the last call, as (path, text); each is set aside once seen."""
    if not SANITIZER_LOG_DIR:
        return []
    reports = []
    for name in sorted(os.listdir(SANITIZER_LOG_DIR)):
        path = os.path.join(SANITIZER_LOG_DIR, name)
        if name.endswith(".seen") or not os.path.isfile(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            reports.append((path, f.read()))
        os.rename(path, path + ".seen")
    return reports


def _reset_between_cases():
    # A case may have removed the PPD folder, stopped a service or left queues behind; the
    # next one starts from what the sandbox set up.
    if not scheduler_running():
        start_scheduler()
    if _services_at_start.get("notifications") and not notification_service_running():
        start_notification_service()
    if not os.path.isdir(PPD_DIR):
        os.mkdir(PPD_DIR, 0o755)
    remove_all_queues()
    new_session()
    if os.environ.get("ZELCUPS_NOTIFICATION_DAEMON") == "dunst":
        # A real daemon keeps no calls to clear; what it shows goes to its history.
        run("dunstctl", "close-all")
    else:
        clear_notification_calls()


def main(namespace):
    import argparse

    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True, help="agent command line (shell words)")
    parser.add_argument(
        "--fixture", action="append", default=[], metavar="NAME=PATH",
        help="a built fixture the cases use",
    )
    parser.add_argument("cases", nargs="*", help="names of the cases to run (default: all)")
    args = parser.parse_args()

    if os.environ.get("ZELCUPS_SANDBOX") != "1":
        sys.exit("these tests run only inside scripts/sandbox")
    cases = {n[len("test_") :]: f for n, f in namespace.items() if n.startswith("test_")}
    names = args.cases or list(cases)
    unknown = [n for n in names if n not in cases]
    if unknown:
        sys.exit(f"no such case: {', '.join(unknown)}; known: {', '.join(cases)}")

    if "DBUS_SESSION_BUS_ADDRESS" in os.environ:
        _services_at_start["notifications"] = notification_service_running()
    _prepare_sanitizer_logs()
    failed = []
    for i, name in enumerate(names):
        if i:
            _reset_between_cases()
        run_ = Run(shlex.split(args.agent), (f.split("=", 1) for f in args.fixture))
        started = time.monotonic()
        try:
            cases[name](run_)
            print(f"PASS {name} ({time.monotonic() - started:.1f}s)", flush=True)
        except Exception:  # every kind of failure is reported the same way
            failed.append(name)
            print(f"FAIL {name} ({time.monotonic() - started:.1f}s)")
            traceback.print_exc(file=sys.stdout)
            _report_failure(run_)
            sys.stdout.flush()
        finally:
            run_.finish()
        reports = _new_sanitizer_reports()
        if reports:
            if name not in failed:
                failed.append(name)
            print(f"FAIL {name}: {len(reports)} sanitizer report(s)")
            for path, text in reports:
                print(f"---- {path} ----\n{text}")
            sys.stdout.flush()
    print(f"{len(names) - len(failed)} of {len(names)} cases passed")
    sys.exit(1 if failed else 0)


# --- the queue road: its surroundings, the address rule, the alerts -------------------

# Long enough for the tick at start, the next one and one more.
TWO_TICKS = 2 * TICK_SECONDS + 1.0
# One interval, plus the time the tick needs for the queue (the PPD from the scheduler,
# the device-URI lookup, lpadmin and the plug-in) and the polling of this test.
REPOINT_LIMIT = TICK_SECONDS + 1.5
LPR = "ZEL_QRX5_LPR"
LPR6 = "ZEL_QRX5_LPRv6"
WORK = "/tmp/zelcups-road"
FAMILY = "arvex-qrx5"
OTHER = "other-maker"
# (device-URI prefix, fixed connection type or None for the network resolver, scheme of
# the address), searched in this order.
ADDRESS_RULES = (
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
    for prefix, fixed_type, scheme in ADDRESS_RULES:
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

    def machine_folder(self):
        """A machine folder as the package makes it (root and lpadmin, setgid, closed to
        others), shared by every agent this road starts from now on, whose logs another
        user's agents may then write too."""
        import grp

        path = WORK + "/machine"
        os.mkdir(path)
        os.chown(path, 0, grp.getgrnam("lpadmin").gr_gid)
        os.chmod(path, 0o2770)
        self.env["ZELCUPS_TESTING_MACHINE_FOLDER"] = path
        for log in (self.lpadmin_log, self.plugin_log):
            open(log, "a", encoding="ascii").close()
            os.chmod(log, 0o666)
        return path

    def start_agent(self, user=SESSION_USER):
        """Starts the agent and waits for its first snapshot: the agent catches quit
        requests from its first instruction on, so being ready says nothing about the
        snapshot, and a queue added before it would belong to the baseline. Another user
        than the session's is logged in too, with a runtime folder but no bus of their own."""
        env = self.env
        if user != SESSION_USER:
            os.makedirs(runtime_dir(user), mode=0o700, exist_ok=True)
            os.chown(runtime_dir(user), *user_ids(user))
            env = dict(env, DBUS_SESSION_BUS_ADDRESS=None)
        looks = FolderLooks()
        try:
            agent = self.run.start_agent(env, user=user, cwd=WORK + "/cwd")
            agent.wait_ready()
            looks.wait_for_more(0, 10.0, f"{agent.label} to take its first snapshot")
            if env.get("DBUS_SESSION_BUS_ADDRESS"):
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


def is_handled(row):
    return row[1] == FAMILY and expected_backend_uri(row[0], row[2]) is not None


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


def install_plugin_atomically(path):
    """Puts a plug-in in place with a rename, so that no one ever loads a half-copied one."""
    os.makedirs(os.path.dirname(PLUGIN_PATH), exist_ok=True)
    shutil.copyfile(path, PLUGIN_PATH + ".new")
    os.rename(PLUGIN_PATH + ".new", PLUGIN_PATH)


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


# --- status posts: the notice rule, random posts, the notices of a batch --------------

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
        post_status(DEFAULT_NOTIFICATION_OBJECT, user_info)
        return self.until_sentinel(text)


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
    notification_object = DEFAULT_NOTIFICATION_OBJECT
    name = STATUS_NAME
    if rng.random() < 0.05:
        notification_object = rng.choice(["", "com.arvex.Other", DEFAULT_NOTIFICATION_OBJECT + "."])
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


def post_batch(rng, log, poster, count, make_post=random_post):
    """Posts `count` random posts (of make_post), then a sentinel, and checks that exactly the notices due
    were shown, in order; the double's record is cleared afterwards. Returns the number of
    notices shown."""
    posts = [make_post(rng) for _ in range(count)]
    expected = []
    for i, (notification_object, name, info) in enumerate(posts):
        poster.post(notification_object, info, name)
        text = expected_notice(notification_object, name, info, (DEFAULT_NOTIFICATION_OBJECT,))
        if text is not None:
            expected.append((i, text))
        if i % 200 == 199:
            poster.flush()
    dbus = _dbus()
    text, _ = log.sentinel_user_info()
    poster.post(DEFAULT_NOTIFICATION_OBJECT, {"State": dbus.Int32(1000), "Message": dbus.String(text)})
    poster.flush()
    shown = log.until_sentinel(text, timeout=120.0, interval=0.01 if count <= 100 else 0.25)
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
