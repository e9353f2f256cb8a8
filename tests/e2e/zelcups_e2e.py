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

import os
import re
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import traceback

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
        """True once the agent handles every quit request (a handler, or the signal blocked
        for a signalfd), so that a signal sent from now on asks it to quit instead of
        killing it."""
        try:
            handled = _signal_mask(self.pid, "SigCgt") | _signal_mask(self.pid, "SigBlk")
        except OSError:
            return False
        return all(handled & (1 << (int(s) - 1)) for s in QUIT_SIGNALS)

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
            match = re.fullmatch(r"zelcups-agent: queue (.*?) (re-pointed to .*|left alone: .*)", line)
            if match:
                lines.setdefault(match.group(1), []).append(match.group(2))
        return lines

    def output(self):
        self._log.flush()
        with open(self._log.name, encoding="utf-8", errors="replace") as f:
            return f.read()

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
