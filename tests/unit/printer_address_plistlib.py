#!/usr/bin/env python3
"""Runs zelcups-printer-address over backend URIs and reads each record back with
Python's plistlib, a property-list reader that is not ours: keys in order, values, and the
result code and exit status of the URIs it refuses."""
import plistlib
import subprocess
import sys

TOOL = sys.argv[1]

RECORDS = [
    ("xvtdbmu://ZEL_QRX5_LPR/Office/lpd://192.168.0.5/queue", "ZEL_QRX5_LPR",
     {"Connection": "ZEL_QRX5_LPR", "MODEL:": "192.168.0.5",
      "Printer URI": "lpd://192.168.0.5/queue"}),
    ("xvtdbmu://ZEL_QRX5_LPR/Annex/lpd://192.168.0.5:631/ipp", "ZEL_QRX5_LPR",
     {"Connection": "ZEL_QRX5_LPR", "MODEL:": "192.168.0.5:631",
      "Printer URI": "lpd://192.168.0.5:631/ipp"}),
    # characters that XML must escape travel through unchanged
    ("xvtdbmu://ZEL_QRX5_LPR/Office/lpd://h.example/a&b<c>\"d'", "ZEL_QRX5_LPR",
     {"Connection": "ZEL_QRX5_LPR", "MODEL:": "h.example",
      "Printer URI": "lpd://h.example/a&b<c>\"d'"}),
    ("xvtdbmu://zel_qrx5_lprv6/Office/lpd://[v1.fe80::1+en0]/queue", "zel_qrx5_lprv6",
     {"Connection": "zel_qrx5_lprv6", "MODEL:": "fe80::1",
      "Printer URI": "fe80%3A%3A1%25en0"}),
    ("xvtdbmu://ZEL_QRX5_LPRv6/Office/lpd://[v1.2001:db8::1]/q", "ZEL_QRX5_LPRv6",
     {"Connection": "ZEL_QRX5_LPRv6", "MODEL:": "2001:db8::1",
      "Printer URI": "2001%3Adb8%3A%3A1"}),
    ("xvtdbmu://DNSSD/Office/mdns://Office%20Printer._printer._tcp.local./", "DNSSD",
     {"Address": "Office Printer", "Location": "local.", "MANUFACTURER:": "Arvex",
      "Printer URI": "mdns://Office%20Printer._printer._tcp.local./"}),
    ("xvtdbmu://DNSSD/Q/mdns://Caf%C3%A9%20%26%20%3Cbar%3E._ipp._tcp.local.", "DNSSD",
     {"Address": "Caf\u00e9 & <bar>", "Location": "local.", "MANUFACTURER:": "Arvex",
      "Printer URI": "mdns://Caf%C3%A9%20%26%20%3Cbar%3E._ipp._tcp.local."}),
    ("xvtdbmu://USB/Office/usb://Vendor/Model%20X?serial=ABC123", "USB",
     {"MANUFACTURER:": "Arvex", "MODEL:": "Model X",
      "Printer URI": "usb://Vendor/Model%20X?serial=ABC123", "SERN:": "ABC123"}),
    ("xvtdbmu://USB/Office/usb://Vendor/Model", "USB",
     {"MANUFACTURER:": "Arvex", "MODEL:": "Model", "Printer URI": "usb://Vendor/Model",
      "SERN:": ""}),
]

REFUSED = [
    ("xvtdbmu://USB", -50),
    ("xvtdbmu://SOCKET/q/a", -9786),
    ("xvtdbmu://DNSSD/Office/mdns://no-dot", -108),
    ("xvtdbmu://USB/" + "q" * 1024 + "/usb://V/M", -50),
]

failures = []
for uri, connection_type, expected in RECORDS:
    run = subprocess.run([TOOL, uri], capture_output=True, check=False)
    if run.returncode != 0:
        failures.append(f"{uri}: exit {run.returncode}: {run.stderr!r}")
        continue
    first_line, _, xml = run.stdout.partition(b"\n")
    if first_line.decode() != f"Connection type: {connection_type}":
        failures.append(f"{uri}: first line {first_line!r}")
    try:
        record = plistlib.loads(xml, fmt=plistlib.FMT_XML)
    except Exception as error:  # pylint: disable=broad-except
        failures.append(f"{uri}: plistlib cannot read the record: {error}")
        continue
    if list(record.items()) != list(expected.items()):
        failures.append(f"{uri}: record {record!r}, expected {expected!r}")

for uri, code in REFUSED:
    run = subprocess.run([TOOL, uri], capture_output=True, check=False)
    message = run.stderr.decode(errors="replace")
    if run.returncode == 0 or run.stdout or f"result {code}: " not in message:
        failures.append(f"{uri}: exit {run.returncode}, stdout {run.stdout!r}, "
                        f"stderr {message!r}, expected result {code}")

for failure in failures:
    print("FAIL", failure)
print(f"{len(RECORDS) + len(REFUSED) - len(failures)} of {len(RECORDS) + len(REFUSED)} "
      "URIs as expected")
sys.exit(1 if failures else 0)
