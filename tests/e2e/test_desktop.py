"""The agent on a real desktop: dunst under Xvfb (scripts/sandbox --desktop) draws the
status notice and the alert, and a user answers the alert with dunstctl.

    scripts/sandbox --desktop /usr/bin/python3 tests/e2e/test_desktop.py \
        --agent build/bin/zelcups-agent --fixture share=build/share
"""

import json
import os
import struct
import subprocess
import zlib

from zelcups_e2e import (
    english, NOTICE_TITLE, PLUGIN_PATH, SESSION_USER, TICK_SECONDS, add_queue, check,
    device_uri, main, post_status, run, wait_for, DEFAULT_NOTIFICATION_OBJECT as OBJECT,
)

APP_NAME = "zelcups-agent"
# One interval, the tick that handles the queue, and the polling.
ALERT_LIMIT = 2 * TICK_SECONDS + 4.0
SHOWN_LIMIT = 10.0


# --- what dunst shows and remembers ---------------------------------------------------


def dunstctl(*args):
    """dunstctl as the session user, as the person at the desktop would run it."""
    return run("dunstctl", *args, user=SESSION_USER)


def displayed():
    return int(dunstctl("count", "displayed").strip())


def history():
    """The agent's notices that dunst closed, newest first, as {field: value}."""
    data = json.loads(dunstctl("history"))["data"]
    entries = [{k: v["data"] for k, v in entry.items()} for entry in (data[0] if data else [])]
    return [e for e in entries if e.get("appname") == APP_NAME]


def check_picture(path, what):
    """A PNG in which something is drawn: more than a frame on a plain background."""
    with open(path, "rb") as f:
        data = f.read()
    check(data[:8] == b"\x89PNG\r\n\x1a\n", f"{what}: {path} is no PNG")
    width, height = struct.unpack(">II", data[16:24])
    check(width >= 200 and height >= 40, f"{what}: a picture of {width}x{height}")
    pixels, offset = b"", 8
    while offset < len(data):
        length, kind = struct.unpack(">I4s", data[offset : offset + 8])
        if kind == b"IDAT":
            pixels += data[offset + 8 : offset + 8 + length]
        offset += 12 + length
    shades = set(zlib.decompress(pixels))
    check(len(shades) > 16, f"{what}: only {len(shades)} shades, nothing drawn")


def screenshot(path, what):
    run(os.environ["ZELCUPS_SCREENSHOT"], path)
    check_picture(path, what)


def show_status(text):
    """Posts `text` with state 1000 until dunst shows a notice: the agent observes posts
    only once it has started, and a post before that is no one's."""

    def shown():
        post_status(OBJECT, f"{{'State': <int32 1000>, 'Message': <'{text}'>}}")
        return displayed() > 0

    wait_for(shown, SHOWN_LIMIT, f"dunst to show the notice {text!r}", interval=0.5)


def closed_status_notices(text):
    """Closes what dunst shows; returns the status notices of `text` it then remembers."""
    dunstctl("close-all")
    wait_for(lambda: displayed() == 0, 5.0, "dunst to close its notices")
    notices = [e for e in history() if e.get("body") == text]
    for notice in notices:
        check(notice["summary"] == NOTICE_TITLE, f"status notice {notice}")
        # Stays on screen until the user closes it.
        check(notice["timeout"] == 0, f"status notice timeout {notice['timeout']}")
    return notices


class AnswerMonitor:
    """dbus-monitor's record of the service's action signals and of the requests to close
    a notice, in the order the bus carried them."""

    def __init__(self):
        self.path = os.path.join(os.environ.get("ZELCUPS_SANDBOX_DIR", "/tmp"), "answers.out")
        self._out = open(self.path, "w", encoding="utf-8")
        self.process = subprocess.Popen(
            ["dbus-monitor", "--session", "--profile",
             "type='signal',interface='org.freedesktop.Notifications',member='ActionInvoked'",
             "type='method_call',interface='org.freedesktop.Notifications',"
             "member='CloseNotification'"],
            stdout=self._out, stderr=subprocess.STDOUT,
        )
        # It has its match rules once it shows its own connection's first signal.
        wait_for(lambda: self.members("sig"), 10.0, "dbus-monitor to start")

    def members(self, kind=None):
        with open(self.path, encoding="utf-8", errors="replace") as f:
            rows = [line.rstrip("\n").split("\t") for line in f]
        kinds = ("sig", "mc") if kind is None else (kind,)
        return [row[-1] for row in rows if row[0] in kinds]

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self._out.close()


# --- the case -------------------------------------------------------------------------


def test_notice_and_alert(run_):
    daemon = os.environ.get("ZELCUPS_NOTIFICATION_DAEMON")
    check(daemon == "dunst", "this case runs in scripts/sandbox --desktop")
    check(not os.path.exists(PLUGIN_PATH), "this case runs without a plug-in")
    agent = run_.start_agent()
    agent.wait_ready()

    # The driver's status notice is drawn, stays, and is in dunst's history once closed.
    show_status("Toner low")
    screenshot("/tmp/notice.png", "the status notice")
    check(closed_status_notices("Toner low"), f"no status notice in dunst's history: {history()}")

    # A family queue without the driver's plug-in: the alert, drawn and waiting.
    add_queue("Annex", device_uri="socket://10.0.0.9")
    wait_for(lambda: displayed() > 0, ALERT_LIMIT, "dunst to show the alert")
    check(device_uri("Annex") == "xvtdbmu://ZEL_QRX5_LPR/Annex/lpd://10.0.0.9",
          f"Annex prints to {device_uri('Annex')}")
    screenshot("/tmp/alert.png", "the alert")
    title = english("Libinfo Get Error Title", run_)
    check(all(e["summary"] != title for e in history()), "the alert closed before the answer")

    # The user answers: dunst invokes the alert's default action, the agent takes the
    # answer and closes the alert itself (a notice closed by the user it would not).
    monitor = AnswerMonitor()
    try:
        dunstctl("action", "0")
        answered = ["ActionInvoked", "CloseNotification"]
        wait_for(lambda: [m for m in monitor.members() if m in answered] == answered, 5.0,
                 "the action, then the agent closing the alert")
    finally:
        monitor.stop()
    wait_for(lambda: displayed() == 0, 5.0, "the answered alert to close")
    alerts = [e for e in history() if e["summary"] == title]
    check(len(alerts) == 1, f"alerts in dunst's history: {alerts}")
    check(alerts[0]["default_action_name"] == "default", f"the alert's default {alerts[0]}")
    check(alerts[0]["timeout"] == 0, f"alert timeout {alerts[0]['timeout']}")

    # The agent goes on: it shows the next status post, and quits when asked.
    check(agent.alive(), f"{agent.label} ended: {agent.describe_status()}")
    show_status("Paper jam")
    check(closed_status_notices("Paper jam"), "no status notice after the alert")
    status, _ = agent.stop()
    check(status == 0, f"{agent.label} quit with {agent.describe_status()}, expected 0")


if __name__ == "__main__":
    main(globals())
