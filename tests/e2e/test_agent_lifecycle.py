"""The agent's life in a real scheduler and session bus: start-up, idling, quitting, and
surviving what the queues and the PPD folder do around it."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zelcups_e2e as e2e  # noqa: E402
from zelcups_e2e import (  # noqa: E402
    TWO_TICKS, quit_cleanly, PPD_DIR, QUIT_SIGNALS, TICK_SECONDS, FolderLooks, TestFailure,
    add_queue, check, device_uri, device_uris, main, notification_calls, remove_profile,
    remove_queue, wait_for,
)

# A busy or spinning loop uses a whole core; an idle agent a few milliseconds for its
# start-up and its status reads.
IDLE_CPU_LIMIT = 0.5
EXEC_QUIT_STARTS = 60



def test_idle(run):
    # Queues that exist before the agent starts belong to its first snapshot and are never
    # re-pointed.
    add_queue("Office", "arvex-qrx5", "socket://10.0.0.5")
    add_queue("Lobby", "other-maker", "lpd://10.0.0.6/queue")
    before = device_uris()

    agent = run.start_agent()
    agent.wait_ready()
    agent.stay_alive(TWO_TICKS)

    check(device_uris() == before, f"queues changed while idle: {before} -> {device_uris()}")
    check(notification_calls("Notify") == [], f"idle agent showed {notification_calls()}")
    cpu = agent.cpu_seconds()
    check(cpu < IDLE_CPU_LIMIT, f"idle agent used {cpu:.2f}s of CPU in {TWO_TICKS:g}s")
    check(agent.output() == "", f"idle agent wrote: {agent.output()}")
    said = agent.output(machine_line=True)
    check(said.count("other sessions may handle the same queues") == 1, f"start-up said: {said}")
    quit_cleanly(agent)


def test_quit_requests(run):
    for i, sig in enumerate(QUIT_SIGNALS):
        agent = run.start_agent()
        agent.wait_ready()
        status, seconds = agent.stop(sig)
        check(status == 0, f"row {i}: {sig.name} ended the agent with {agent.describe_status()}")
        check(seconds < 1.0, f"row {i}: {sig.name} took {seconds:.2f}s to end the agent")
    # A quit while the loader still maps the agent's libraries, before its own code runs.
    failures = []
    for i in range(EXEC_QUIT_STARTS):
        agent = run.start_agent()
        agent.wait_loading()
        status, seconds = agent.stop(signal.SIGTERM)
        if status != 0 or seconds >= 1.0:
            failures.append(f"start {i}: {agent.describe_status()} after {seconds:.2f}s")
    print(f"FIGURE quit_at_exec: {EXEC_QUIT_STARTS - len(failures)}/{EXEC_QUIT_STARTS} starts "
          "sent SIGTERM while loading ended with status 0 within a second", flush=True)
    check(not failures, f"SIGTERM while loading: {'; '.join(failures[:5])}")


def test_missing_ppd_dir(run):
    shutil.rmtree(PPD_DIR)
    agent = run.start_agent()
    agent.wait_ready()
    agent.stay_alive(TWO_TICKS)

    # The folder coming (back) while the agent runs is a change like any other.
    os.mkdir(PPD_DIR, 0o755)
    add_queue("Office", "arvex-qrx5")
    agent.stay_alive(TWO_TICKS)
    quit_cleanly(agent)


def test_no_profile(run):
    # Without a product profile the agent has no notification object and goes on.
    remove_profile()
    agent = run.start_agent()
    agent.wait_ready()
    agent.stay_alive(TICK_SECONDS + 1.0)
    quit_cleanly(agent)


def test_queue_churn(run):
    # A queue of the family that exists at start-up is the baseline however often the
    # folder changes later.
    add_queue("Baseline", "arvex-qrx5", "socket://10.0.0.9")
    baseline = device_uri("Baseline")
    looks = FolderLooks()
    agent = run.start_agent()
    agent.wait_ready()
    looks.wait_for_more(0, 10.0, f"{agent.label} to take its first snapshot")
    add_queue("Lobby", "other-maker", "ipp://10.0.0.6/ipp/print")
    lobby = device_uri("Lobby")
    # Each step lands between ticks, inside one, or with another step in the same tick;
    # whatever the agent finds when it looks, it must go on.
    steps = [
        lambda: add_queue("Office", "arvex-qrx5", "socket://10.0.0.5"),
        lambda: add_queue("Annex", "arvex-qrx5", "lpd://[fe80::1]/queue"),
        lambda: remove_queue("Office"),
        lambda: add_queue("Office", "arvex-qrx5", "socket://10.0.0.7"),
        lambda: remove_queue("Annex"),
        lambda: add_queue("Hall", "arvex-qrx5", "usb://Arvex/QRX5?serial=1"),
        lambda: remove_queue("Office"),
    ]
    for i, step in enumerate(steps):
        step()
        agent.stay_alive(TICK_SECONDS / 2 if i % 2 else 0.1)
    agent.stay_alive(TWO_TICKS)
    # The agent has handled the last change once it lists the folder after a further one:
    # its ticks run one at a time. Only then can the checks below see what it did.
    seen = looks.count()
    remove_queue("Hall")
    looks.wait_for_more(seen, TICK_SECONDS + 1.0, f"{agent.label} to list {PPD_DIR} again")
    looks.close()
    # Another maker's queue is never the agent's business, however busy the folder gets.
    check(device_uri("Lobby") == lobby, f"Lobby changed: {lobby} -> {device_uri('Lobby')}")
    check(
        device_uri("Baseline") == baseline,
        f"Baseline changed: {baseline} -> {device_uri('Baseline')}",
    )
    quit_cleanly(agent)


# Arguments: (argv after the program, exit status, what stdout holds, what stderr holds).
COMMAND_LINE_ROWS = (
    (["--help"], 0, "usage: zelcups-agent [--help | --version | --check]", ""),
    (["--version"], 0, "zelcups-agent 1.", ""),
    (["--verbose"], 2, "", "usage: zelcups-agent [--help | --version | --check]\n"),
    (["--help", "extra"], 2, "", "usage: zelcups-agent [--help | --version | --check]\n"),
    ([""], 2, "", "usage: zelcups-agent [--help | --version | --check]\n"),
)


def test_command_line(run):
    for i, (args, status, out, err) in enumerate(COMMAND_LINE_ROWS):
        done = subprocess.run(run.agent_argv + args, capture_output=True, text=True, timeout=10,
                              stdin=subprocess.DEVNULL)
        check(done.returncode == status and out in done.stdout and (done.stdout == "") == (out == "")
              and done.stderr == err, f"row {i} {args}: {done.returncode} {done.stdout!r} {done.stderr!r}")


def test_second_agent(run):
    # Started twice in one session (autostart and user unit, or by hand), the agent must
    # not re-point queues or show alerts twice: the second one ends at once with 0.
    first = run.start_agent()
    first.wait_ready()
    second = run.start_agent()
    try:
        status = second.process.wait(1.0)
    except subprocess.TimeoutExpired:
        raise TestFailure(f"{second.label} still runs beside {first.label}") from None
    check(status == 0, f"{second.label} ended with {second.describe_status()}, expected 0")
    lines = second.output().splitlines()
    check(len(lines) == 1 and "another zelcups-agent" in lines[0], f"{second.label}: {lines}")
    # The first goes on with its work.
    add_queue("Office", "arvex-qrx5", "socket://10.0.0.5")
    wait_for(
        lambda: device_uri("Office").startswith("xvtdbmu://"),
        TWO_TICKS,
        f"{first.label} to re-point Office",
    )
    first.stay_alive(0.5)
    quit_cleanly(first)
    # Once the first has ended, a new one starts as usual.
    third = run.start_agent()
    third.wait_ready()
    third.stay_alive(1.0)
    quit_cleanly(third)


# Turned off the ways a desktop offers, in the user's configuration folder: (file, a link's
# target or the file's text, whether the agent still runs).
OPT_OUT_ROWS = (
    ("systemd/user/zelcups-agent.service", "/dev/null", False),
    ("autostart/zelcups-agent.desktop", "[Desktop Entry]\nHidden=true\n", False),
    ("autostart/zelcups-agent.desktop", "[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", False),
    ("autostart/zelcups-agent.desktop", "[Desktop Entry]\nHidden=false\n", True),
)


def test_opt_out(run):
    config = os.path.expanduser(f"~{e2e.SESSION_USER}/.config")
    for i, (name, content, runs) in enumerate(OPT_OUT_ROWS):
        path = os.path.join(config, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if content.startswith("/"):
            os.symlink(content, path)
        else:
            with open(path, "w", encoding="ascii") as f:
                f.write(content)
        try:
            agent = run.start_agent()
            if runs:
                agent.stay_alive(1.0)
                quit_cleanly(agent)
            else:
                wait_for(lambda: not agent.alive(), 2.0, f"row {i}: the agent to end")
                check(agent.process.wait() == 0 and agent.output().splitlines() ==
                      [f"zelcups-agent: turned off for this user by {path}; it ends"],
                      f"row {i}: {agent.describe_status()}, {agent.output()!r}")
        finally:
            os.unlink(path)


def test_follows_its_package(run):
    # Installed as a package would install it (the bundle beside it), then upgraded (a new
    # file renamed over it), then removed.
    built = os.path.dirname(run.agent_argv[0])
    real = os.path.join(built, "..", "libexec", "zelcups-agent")
    program = real if os.path.exists(real) else run.agent_argv[0]
    prefix = tempfile.mkdtemp(prefix="package-", dir="/tmp")
    os.chmod(prefix, 0o755)
    os.mkdir(prefix + "/bin", 0o755)
    os.symlink(os.path.abspath(os.path.join(built, "..", "share")), prefix + "/share")
    installed = prefix + "/bin/zelcups-agent"

    def install():
        shutil.copy(program, installed + ".new")
        os.rename(installed + ".new", installed)
        return os.stat(installed).st_ino

    install()
    agent = e2e.Agent([installed], "the packaged agent", user=e2e.SESSION_USER)
    run.agents.append(agent)
    # Its loop runs (and watches the program) once it observes the posts.
    wait_for(e2e.observes_posts, 10.0, "the agent's loop")
    new = install()
    wait_for(lambda: os.stat(f"/proc/{agent.pid}/exe").st_ino == new, 5.0, "the new program")
    agent.stay_alive(1.0)
    wait_for(e2e.observes_posts, 10.0, "the new program's loop")
    os.unlink(installed)
    wait_for(lambda: not agent.alive(), 5.0, "the agent to end with its package")
    check(agent.process.wait() == 0 and agent.output().splitlines() == [
        f"zelcups-agent: {installed} was replaced (the package was upgraded); the new one starts",
        f"zelcups-agent: {installed} was removed (the package is gone); it ends"],
        f"{agent.describe_status()}: {agent.output()!r}")
    shutil.rmtree(prefix)


if __name__ == "__main__":
    main(globals())
