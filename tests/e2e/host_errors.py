#!/usr/bin/env python3
"""tovrin-host's refusals: each bad input ends the run with its own exit status
and a message that names the problem, and nothing reaches the network.

usage: host_errors.py WINE_RUN HOST_EXE MODULE SAMPLE_TS WORKDIR
"""

import os
import socket
import subprocess
import sys

wine_run, host, module, sample, workdir = sys.argv[1:6]
os.makedirs(workdir, exist_ok=True)

# Anything the module sends would land here, on a port the system picks so
# that test runs side by side never meet.
sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sink.bind(("127.0.0.1", 0))
sink.setblocking(False)
PORT = sink.getsockname()[1]

not_ts = os.path.join(workdir, "not-a-stream.ts")
with open(not_ts, "wb") as f:
    f.write(b"This is a text file, not a transport stream.\n" * 20)
no_pcr = os.path.join(workdir, "no-pcr.ts")
with open(no_pcr, "wb") as f:
    f.write((bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * 184) * 50)
ini = os.path.join(workdir, "host.ini")
common = ["--ini", ini, "--module", module, "--port", str(PORT), "--close-after", "20"]

# (name, extra arguments, needs a display, exit status, text the output must contain)
CASES = [
    ("no file named", [], False, 1, "no transport-stream file given"),
    ("unknown option", ["--frobnicate", sample], False, 1, "unknown option --frobnicate"),
    ("not a transport stream", common + [not_ts], False, 4,
     "is not an MPEG transport stream: no sync byte 0x47 at offset 0 (found 0x54)"),
    ("missing file", common + [os.path.join(workdir, "absent.ts")], False, 4, "cannot read"),
    ("no PCR to pace by", common + [no_pcr], False, 4, "cannot pace by PCR: no PCR in the file"),
    ("missing module", ["--module", os.path.join(workdir, "absent.module"), sample], False, 2,
     "module file not found"),
    ("module without the export", ["--module", r"C:\windows\system32\kernel32.dll", sample], False, 3,
     "has no export KelvModuleApi2_GetReceiverModuleUnit"),
    ("device of another transport type", common + ["--device-type", "5", "--start", "--fast", sample], True, 6,
     "Start is disabled in the dialog (device transport type 5)"),
    ("time limit before the file is delivered",
     ["--ini", ini, "--module", module, "--port", str(PORT), "--start", "--close-when-done", "--close-after", "1",
      "--rate", "0.5", sample], True, 7, "the run ended before the file was delivered"),
]

failures = 0
for name, extra, gui, want_rc, want_text in CASES:
    cmd = [wine_run] + (["--gui"] if gui else []) + [host] + extra
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    output = r.stdout + r.stderr
    datagrams = 0
    try:
        while True:
            sink.recv(2048)
            datagrams += 1
    except BlockingIOError:
        pass
    # The time-limit case streams on purpose until its limit; the others never stream.
    quiet = datagrams == 0 or want_rc == 7
    ok = r.returncode == want_rc and want_text in output and quiet
    failures += not ok
    print(f"{'ok  ' if ok else 'FAIL'}  {name}: exit {r.returncode} (want {want_rc}), {datagrams} datagrams")
    if not ok:
        print("      wanted text: " + want_text)
        print("      output: " + output.strip().replace("\n", "\n              "))

print(f"host_errors: {len(CASES) - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
