"""The installed agent, run inside scripts/sandbox, sets up a new queue of the driver family:
the scheduler shows the maker's backend URI for it within two ticks, a queue of the family
that existed at start-up keeps its URI, and SIGTERM ends the agent with status 0.

    scripts/sandbox --plugin PLUGIN /usr/bin/python3 tests/install/queue_road.py \\
        --agent STAGING/usr/local/bin/zelcups-agent
"""

import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from zelcups_e2e import (  # noqa: E402
    TICK_SECONDS,
    FolderLooks,
    add_queue,
    check,
    device_uri,
    main,
    wait_for,
)

# One tick to see the folder change, one more for a tick that was already running.
ROAD_SECONDS = 2 * TICK_SECONDS


def test_family_queue(run):
    add_queue("Office", "arvex-qrx5", "socket://10.0.0.5")
    looks = FolderLooks()
    agent = run.start_agent()
    agent.wait_ready()
    looks.wait_for_more(0, 10.0, f"{agent.label} to take its first snapshot")

    add_queue("Annex", "arvex-qrx5", "ipp://10.0.0.9:631/ipp")
    expected = "xvtdbmu://ZEL_QRX5_LPR/Annex/lpd://10.0.0.9:631/ipp"
    wait_for(lambda: device_uri("Annex") == expected, ROAD_SECONDS,
             f"Annex to be re-pointed at {expected} (it is {device_uri('Annex')})")
    check(device_uri("Office") == "socket://10.0.0.5",
          f"the queue of the first snapshot was re-pointed: {device_uri('Office')}")

    status, seconds = agent.stop(signal.SIGTERM)
    check(status == 0, f"{agent.label} quit with {agent.describe_status()}")


main(globals())
