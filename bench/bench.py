#!/usr/bin/env python3
"""Runs the benchmarks of bench/README.md and writes what they found.

Called by bench/run.sh after the builds; the results go to
build/bench-results/results.json and build/bench-results/report.md.

Figures (the numbering of bench/README.md):
  2  the module's own cost per packet natively (Google Benchmark, module path
     against its copy floor), instructions per packet (callgrind), and the
     same path timed under Wine with a real critical section
  1  end-to-end efficiency under Wine: tovrin-host playing the stream through
     the module as fast as it goes, against a bare sendto loop sending the
     same datagrams; alternating runs, pinned and unpinned; in RTP framing,
     and with --protocols rtp,udp also in plain UDP framing (Protocol=UDP),
     the two alternating as well; with --programs, the module cuts those
     programs out of a 60 Mbit/s three-program stream (its Programs key), and
     the bare loop sends as many datagrams as the module did
  4  the live rate: 60 Mbit/s for 30 s through the module, datagrams lost and
     the engine thread's time in the module outside sendto
  5  peers streaming the same file natively, against the native sendto limit
  soak  30 minutes at 60 Mbit/s with Stop and Start every 10 s (bench/soak.py)
(Figure 3, the allocation test, is part of the test command.)
"""

import argparse
import json
import os
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NATIVE = ROOT / "build" / "bench"
WINDOWS = ROOT / "build" / "bench-windows"
DATA = ROOT / "build" / "bench-data"
OUT = ROOT / "build" / "bench-results"

TS = 188
HEADER = 12
STREAM_PACKETS = 4200        # one pass of the traffic driver
LIVE_MBITS = 60.0
PORT = 0                     # 0: a port the system finds free at start; --port changes it

log_file = None


def free_udp_port():
    """A UDP port on 127.0.0.1 that nothing has bound now (the system picks it)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def log(*parts):
    text = " ".join(str(p) for p in parts)
    print(text, flush=True)
    if log_file:
        log_file.write(text + "\n")
        log_file.flush()


def loadavg():
    return Path("/proc/loadavg").read_text().split()[:3]


def median(values):
    return statistics.median(values) if values else float("nan")


def keyvalues(line):
    return {k: v for k, v in re.findall(r"(\w+)=(\S+)", line)}


# ---------------------------------------------------------------------------
# Processes


def cpu_of_children():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def cpu_of_pid(pid):
    """User + system seconds of a live process, from /proc."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def pin(cpus):
    if cpus is None:
        return None
    return lambda: os.sched_setaffinity(0, cpus)


class Receiver:
    """tovrin-udp-counter on 127.0.0.1:PORT, for one run; with run_gap_ms it
    also splits the stream into runs at silences (self.runs)."""

    def __init__(self, cpus=None, idle_ms=1500, run_gap_ms=None):
        gap = [str(run_gap_ms)] if run_gap_ms else []
        self.proc = subprocess.Popen([str(NATIVE / "tovrin-udp-counter"), str(PORT), str(idle_ms)] + gap,
                                     stdout=subprocess.PIPE, text=True, preexec_fn=pin(cpus))
        self.runs = []
        first = self.proc.stdout.readline()
        if not first.startswith("ready"):
            raise RuntimeError("receiver did not start: " + first)
        self.rcvbuf = int(keyvalues(first)["rcvbuf"])
        self.idle_s = idle_ms / 1000

    def result(self):
        """Once the sender has ended: the receiver ends by itself when the
        datagrams stop; one that never saw any is told to end."""
        try:
            out, _ = self.proc.communicate(timeout=self.idle_s + 2)
        except subprocess.TimeoutExpired:
            self.proc.send_signal(signal.SIGTERM)
            out, _ = self.proc.communicate(timeout=10)
        lines = out.strip().splitlines()
        self.runs = [{k: float(v) for k, v in keyvalues(l).items()} for l in lines if l.startswith("run ")]
        kv = keyvalues(lines[-1])
        return {k: float(v) for k, v in kv.items()}


def run_logged(cmd, name, cpus=None, env=None, timeout=600):
    """Runs cmd with its output in a file (Wine's helper processes keep any
    pipe open); returns (returncode, output, cpu seconds of the child)."""
    path = OUT / "logs" / (name + ".log")
    before = cpu_of_children()
    with open(path, "w") as f:
        p = subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                           preexec_fn=pin(cpus), env=env, timeout=timeout)
    cpu = cpu_of_children() - before
    return p.returncode, path.read_text(errors="replace"), cpu


# ---------------------------------------------------------------------------
# Wine


class Wine:
    """A display and a persistent wineserver of the bench build's own prefix,
    placed on the CPUs given, so that each run finds it warm."""

    def __init__(self):
        self.prefix = WINDOWS / "wineprefix"
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all", WINEARCH="win64",
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
        self.server = None
        self.xvfb = None

    def start_display(self):
        if os.environ.get("DISPLAY"):
            self.env["DISPLAY"] = os.environ["DISPLAY"]
            return
        r, w = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                     pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(r, 16)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            number += chunk
        os.close(r)
        self.env["DISPLAY"] = ":" + number.decode().strip()

    def kill_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.server:
            try:
                self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
            self.server = None

    def start_server(self, cpus):
        """cpus None: wherever the scheduler likes."""
        # The prefix is made by the build's runner on first use.
        subprocess.run([str(WINDOWS / "wine-run"), str(WINDOWS / "tovrin-bare-sendto.exe"), "127.0.0.1", "9", "12", "0"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=self.env)
        self.kill_server()
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, preexec_fn=pin(cpus))
        time.sleep(0.5)
        # Warm: the first process of a server starts Wine's own services.
        subprocess.run([str(WINDOWS / "wine-run"), str(WINDOWS / "tovrin-bare-sendto.exe"), "127.0.0.1", "9", "12", "0"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=self.env,
                       preexec_fn=pin(cpus))

    def server_cpu(self):
        return cpu_of_pid(self.server.pid) if self.server else 0.0

    def run(self, args, name, cpus=None, timeout=600):
        """A Windows program; returns (rc, output, cpu of process + wineserver)."""
        server_before = self.server_cpu()
        rc, out, cpu = run_logged([str(WINDOWS / "wine-run")] + args, name, cpus=cpus, env=self.env, timeout=timeout)
        return rc, out, cpu + self.server_cpu() - server_before

    def close(self):
        self.kill_server()
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()


def host_args(stream, packets, extra, protocol="rtp"):
    # The INI file is kept between runs: the framing is written every time.
    framing = "Protocol=UDP" if protocol == "udp" else "Protocol="
    return [str(WINDOWS / "tovrin-host.exe"), "--start", "--quiet", "--packets", str(packets), "--port", str(PORT),
            "--address", "127.0.0.1", "--ini", str(OUT / "tovrin-host.ini"), "--ini-key", framing] + extra + [str(stream)]


def host_summary(out):
    m = re.search(r"summary: (\d+) packets, (\d+) bytes, ([\d.]+) s, ([\d.]+) Mbit/s, (\d+) blocks, (\d+) whole "
                  r"passes, ([\d.]+) s inside the module", out)
    if not m:
        raise RuntimeError("no summary from tovrin-host:\n" + out[-2000:])
    return {"packets": int(m.group(1)), "seconds": float(m.group(3)), "blocks": int(m.group(5)),
            "in_module_s": float(m.group(7))}


# ---------------------------------------------------------------------------
# Figure 2: the traffic path natively and under Wine, without the system call


def figure2(args):
    log("== figure 2: the traffic path without the system call", "load", loadavg())
    result = {"load_before": loadavg()}
    out = OUT / "gbench.json"
    reps = 3 if args.quick else 9
    subprocess.run([str(NATIVE / "tovrin-traffic-bench"), f"--benchmark_repetitions={reps}",
                    "--benchmark_enable_random_interleaving=true", "--benchmark_min_time=0.2",
                    "--benchmark_report_aggregates_only=true", f"--benchmark_out={out}",
                    "--benchmark_out_format=json"], check=True, stdout=subprocess.DEVNULL)
    data = json.loads(out.read_text())
    medians = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = b
    rows = []
    for name, b in medians.items():
        if not name.startswith("ModulePath/"):
            continue
        floor = medians[name.replace("ModulePath/", "Floor/")]
        ns = 1e9 / b["items_per_second"]
        floor_ns = 1e9 / floor["items_per_second"]
        rows.append({"case": name.replace("ModulePath/", ""), "module_ns": ns, "floor_ns": floor_ns,
                     "module_MBps": b["bytes_per_second"] / 1e6, "floor_MBps": floor["bytes_per_second"] / 1e6,
                     "ratio": ns / floor_ns})
    def order(row):
        feed, n, block = row["case"].split("/")
        return (feed != "Packets", int(n.split(":")[1]), int(block.split(":")[1]))
    rows.sort(key=order)
    result["gbench"] = rows
    lock = medians.get("Lock/TakeRelease")
    result["lock_ns"] = 1e9 / lock["items_per_second"] if lock else None
    result["gbench_context"] = data["context"]
    for r in rows:
        log(f"  {r['case']:24s} module {r['module_ns']:6.2f} ns/packet  floor {r['floor_ns']:6.2f}  "
            f"ratio {r['ratio']:.2f}")
    log(f"  lock take+release {result['lock_ns']:.2f} ns")

    # Instructions per packet: two runs that differ by two passes.
    cases = [("packets", n, 100) for n in (1, 2, 7)] + [("bytes", n, 65536) for n in (1, 2, 7)]
    result["callgrind"] = []
    if shutil.which("valgrind"):
        for feed, n, block in cases:
            irs = {}
            for path in ("module", "floor"):
                counts = []
                for passes in (2, 4):
                    with tempfile.NamedTemporaryFile(dir=OUT, suffix=".callgrind") as f:
                        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={f.name}",
                                        str(NATIVE / "tovrin-traffic-driver"), path, feed, str(n), str(block),
                                        str(passes)], check=True, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
                        text = Path(f.name).read_text()
                    counts.append(int(re.search(r"^(?:summary|totals): (\d+)", text, re.M).group(1)))
                irs[path] = (counts[1] - counts[0]) / (2 * STREAM_PACKETS)
            row = {"case": f"{'Packets' if feed == 'packets' else 'Bytes'}/N:{n}/block:{block}",
                   "module_ir": irs["module"], "floor_ir": irs["floor"], "ratio": irs["module"] / irs["floor"]}
            result["callgrind"].append(row)
            log(f"  {row['case']:24s} module {row['module_ir']:6.1f} instructions/packet  floor "
                f"{row['floor_ir']:6.1f}  ratio {row['ratio']:.2f}")

    # Under Wine: the Windows build of the same path, the lock a critical section.
    result["wine_driver"] = []
    if not args.skip_wine:
        wine = args.wine
        rounds = 3 if args.quick else 5
        times = {}
        for r in range(rounds):
            for n in (1, 2, 7):
                for path in (("module", "floor") if r % 2 == 0 else ("floor", "module")):
                    times.setdefault((path, n), []).append(wine_path_ns(wine, path, n, f"driver-{path}-{n}-{r}"))
        for n in (1, 2, 7):
            row = {"case": f"Packets/N:{n}/block:100", "module_ns": median(times[("module", n)]),
                   "floor_ns": median(times[("floor", n)])}
            row["ratio"] = row["module_ns"] / row["floor_ns"]
            result["wine_driver"].append(row)
            log(f"  under Wine {row['case']:24s} module {row['module_ns']:6.2f} ns/packet  floor "
                f"{row['floor_ns']:6.2f}  ratio {row['ratio']:.2f}")
    result["load_after"] = loadavg()
    return result


def wine_path_ns(wine, path, n, name):
    """ns a packet of the module's traffic path ("module") or its copy floor
    ("floor") without a socket, Windows build under Wine, host blocks of 100."""
    rc, out_text, _ = wine.run([str(WINDOWS / "tovrin-traffic-driver.exe"), path, "packets", str(n), "100", "200"],
                               name)
    return float(keyvalues(out_text)["ns_per_packet"])


# ---------------------------------------------------------------------------
# Figure 1: end to end under Wine, the module against a bare sendto loop


def programs_stream():
    """Three programs (two TV at 8 Mbit/s video, one radio) in a 60 Mbit/s
    multiplex, 15 s; made once, never committed."""
    path = DATA / "programs.ts"
    if not path.exists() or path.stat().st_size < 100_000_000:
        log(f"== making {path}")
        DATA.mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, str(ROOT / "tools" / "make_sample.py"), str(path), "--programs",
                        "--seconds", "15", "--size", "1280x720", "--video-bitrate", "8M", "--muxrate", "60M"],
                       check=True)
    return path


def module_datagrams(wine, stream, n, protocol, extra, cpus, receiver_cpus):
    """How many datagrams the module sends for the file: with programs
    selected, the cut's, which the bare loop then sends as well."""
    rx = Receiver(receiver_cpus)
    rc, out, _ = wine.run(host_args(stream, n, ["--fast", "--close-when-done"] + extra, protocol),
                          f"fig1-count-{n}-{protocol}", cpus=cpus)
    got = rx.result()
    if rc != 0:
        raise RuntimeError(f"module run failed ({rc}):\n{out[-2000:]}")
    return int(got["datagrams"])


def figure1(args, stream):
    wine = args.wine
    packets_in_file = stream.stat().st_size // TS
    runs = args.runs
    result = {"runs": runs, "file_bytes": stream.stat().st_size, "modes": [], "programs": args.programs}
    # The path sender knows no programs: with them, module against bare alone.
    senders = ["module", "bare"] if args.programs else ["module", "bare", "path"]
    extra = ["--ini-key", f"Programs={args.programs}"] if args.programs else []
    for mode, server_cpus, sender_cpus, receiver_cpus in (("pinned", {0}, {0}, {1}),
                                                          ("unpinned", None, None, None)):
        if mode not in args.placements:
            continue
        wine.start_server(server_cpus)
        for n in (7, 1):
            datagrams = packets_in_file // n
            entries = {}
            for protocol in args.protocols:
                if args.programs:
                    datagrams = module_datagrams(wine, stream, n, protocol, extra, sender_cpus, receiver_cpus)
                size = (HEADER if protocol == "rtp" else 0) + n * TS
                log(f"== figure 1: {mode}, N={n}, {protocol.upper()}: {datagrams} datagrams of {size} bytes, "
                    f"{runs} alternating runs", "load", loadavg())
                entries[protocol] = {"mode": mode, "N": n, "protocol": protocol, "datagrams": datagrams, "size": size,
                                     "load_before": loadavg(), "module": [], "bare": [], "path": []}
            # Every sender in every framing once a round, in an order that
            # turns from round to round.
            cases = [(p, who) for p in args.protocols for who in senders]
            for r in range(runs):
                shift = r % len(cases)
                for protocol, who in cases[shift:] + cases[:shift]:
                    entry = entries[protocol]
                    name = f"fig1-{mode}-{n}-{protocol}-{r}-{who}"
                    rx = Receiver(receiver_cpus)
                    if who == "module":
                        rc, out, cpu = wine.run(host_args(stream, n, ["--fast", "--close-when-done"] + extra, protocol),
                                                name, cpus=sender_cpus)
                        summary = host_summary(out)
                    elif who == "path":
                        rc, out, cpu = wine.run([str(WINDOWS / "tovrin-path-sender.exe"), "127.0.0.1", str(PORT),
                                                 str(n), str(stream)] + (["udp"] if protocol == "udp" else []),
                                                name, cpus=sender_cpus)
                        summary = keyvalues(out)
                    else:
                        rc, out, cpu = wine.run([str(WINDOWS / "tovrin-bare-sendto.exe"), "127.0.0.1", str(PORT),
                                                 str(entry["size"]), str(datagrams)], name, cpus=sender_cpus)
                        summary = keyvalues(out)
                    got = rx.result()
                    if rc != 0:
                        raise RuntimeError(f"{who} run failed ({rc}):\n{out[-2000:]}")
                    run = {"rate_dps": got["rate_dps"], "received": got["datagrams"], "rtp_lost": got["rtp_lost"],
                           "kernel_drops": got["kernel_drops"], "cpu_s": cpu, "load": loadavg()}
                    if who == "module":
                        run["host"] = summary
                    entry[who].append(run)
                    log(f"  run {r} {protocol.upper()} {who:12s} {got['rate_dps']:9.1f} datagrams/s  received "
                        f"{int(got['datagrams'])}  lost {int(got['rtp_lost'])}  cpu {cpu:.2f} s")
            gb = result["file_bytes"] / 1e9
            for protocol, entry in entries.items():
                for who in senders:
                    entry[who + "_dps"] = median([x["rate_dps"] for x in entry[who]])
                    entry[who + "_cpu_s_per_GB"] = median([x["cpu_s"] for x in entry[who]]) / gb
                entry["ratio"] = entry["module_dps"] / entry["bare_dps"]
                entry["path_dps"] = entry.get("path_dps", float("nan"))
                entry["ratio_path"] = entry["path_dps"] / entry["bare_dps"]
                entry["paired_ratios"] = [x["rate_dps"] / y["rate_dps"] for x, y in zip(entry["module"], entry["bare"])]
                entry["paired_median"] = median(entry["paired_ratios"])
                entry["load_after"] = loadavg()
                log(f"  {protocol.upper()} median module {entry['module_dps']:.1f}  bare {entry['bare_dps']:.1f}  "
                    f"path without host {entry['path_dps']:.1f}  module/bare {entry['ratio']:.3f}  "
                    f"path/bare {entry['ratio_path']:.3f}")
                result["modes"].append(entry)
    return result


# ---------------------------------------------------------------------------
# Figure 4: the live rate


def figure4(args, stream):
    results = []
    for mode, cpus, receiver_cpus in (("pinned", {0}, {1}), ("unpinned", None, None)):
        if mode in args.placements:
            results.append(live_run(args, stream, mode, cpus, receiver_cpus))
    return results


def paced_sendto_us(wine, rate, burst, n, cpus, receiver_cpus, name):
    """What one sendto costs at the live run's pace, from a bare loop on a
    second thread beside a message loop (as in a host), 10 s of datagrams."""
    rx = Receiver(receiver_cpus)
    rc, out, _ = wine.run([str(WINDOWS / "tovrin-bare-sendto.exe"), "--message-loop", "127.0.0.1", str(PORT),
                           str(HEADER + n * TS), str(int(rate * 10)), f"{rate:.1f}", str(burst)], name, cpus=cpus)
    rx.result()
    return float(keyvalues(out)["sendto_us"])


def live_run(args, stream, mode, cpus, receiver_cpus):
    wine = args.wine
    wine.start_server(cpus)
    n = 7
    seconds = 10 if args.quick else 30
    log(f"== figure 4: {LIVE_MBITS} Mbit/s for {seconds} s, N={n}, {mode}", "load", loadavg())
    result = {"mode": mode, "mbits": LIVE_MBITS, "N": n, "load_before": loadavg()}
    rate = LIVE_MBITS * 1e6 / 8 / (n * TS)
    burst = 8  # a host block averages 53.5 packets: 7.6 datagrams of 7
    calib = [paced_sendto_us(wine, rate, burst, n, cpus, receiver_cpus, f"fig4-{mode}-calib-before")]
    rx = Receiver(receiver_cpus, idle_ms=2000)
    rc, out, cpu = wine.run(host_args(stream, n, ["--rate", str(LIVE_MBITS), "--loop", "--close-after",
                                                  str(seconds + 1)]), f"fig4-{mode}-live", cpus=cpus,
                            timeout=seconds + 120)
    got = rx.result()
    host = host_summary(out)
    calib.append(paced_sendto_us(wine, rate, burst, n, cpus, receiver_cpus, f"fig4-{mode}-calib-after"))
    delivered = host["packets"] // n
    result.update({"host": host, "received": got["datagrams"], "delivered_datagrams": delivered,
                   "not_received": delivered - got["datagrams"], "rtp_lost": got["rtp_lost"],
                   "kernel_drops": got["kernel_drops"], "cpu_s": cpu, "burst": burst})
    sendto_us = statistics.mean(calib)
    sent = got["datagrams"]
    in_module = host["in_module_s"]
    outside = in_module - sent * sendto_us * 1e-6
    result.update({"calibration_sendto_us": calib, "sendto_us": sendto_us,
                   "in_module_share": in_module / host["seconds"], "in_module_per_datagram_us": in_module / sent * 1e6,
                   "outside_sendto_s": outside, "outside_sendto_share": outside / host["seconds"]})
    # The module's own work measured directly: the Windows build of the same
    # path under this Wine, without sendto (figure 2), at this packet rate.
    per_packet = [r for r in (args.figure2 or {}).get("wine_driver", []) if r["case"].startswith(f"Packets/N:{n}/")]
    if per_packet:
        packets_per_s = LIVE_MBITS * 1e6 / 8 / TS
        result["path_ns_per_packet"] = per_packet[0]["module_ns"]
        result["path_share"] = per_packet[0]["module_ns"] * 1e-9 * packets_per_s
    log(f"  {int(got['datagrams'])} of {delivered} delivered datagrams received; rtp gaps {int(got['rtp_lost'])}, "
        f"socket-buffer drops {int(got['kernel_drops'])}")
    log(f"  in the module {in_module:.3f} s of {host['seconds']:.3f} s ({in_module / sent * 1e6:.1f} us a datagram); "
        f"paced bare sendto {', '.join(f'{c:.1f}' for c in calib)} us; outside sendto by subtraction {outside:.3f} s")
    result["load_after"] = loadavg()
    return result


# ---------------------------------------------------------------------------
# Figure 5: peers, natively


def figure5(args, stream):
    size_bytes = stream.stat().st_size
    datagrams = size_bytes // (7 * TS)
    runs = max(3, args.runs // 2) if not args.quick else 1
    log(f"== figure 5: peers on {size_bytes} bytes, {runs} rounds", "load", loadavg())
    pcr = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "program=pcr_pid", "-of", "csv=p=0",
                          str(stream)], capture_output=True, text=True, check=True).stdout.split()[0]
    aux = stream.with_suffix(".aux")
    if not aux.exists():
        subprocess.run(["ingests", "-p", pcr, str(stream)], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    senders = {
        "bare sendto (Linux)": [str(NATIVE / "tovrin-bare-sendto"), "127.0.0.1", str(PORT), str(HEADER + 7 * TS),
                                str(datagrams)],
        "multicat -f": ["multicat", "-f", str(stream), f"127.0.0.1:{PORT}"],
        "GStreamer rtpmp2tpay": ["gst-launch-1.0", "-q", "filesrc", f"location={stream}", "blocksize=13160", "!",
                                 "video/mpegts,systemstream=true,packetsize=188", "!", "rtpmp2tpay", "!", "udpsink", "host=127.0.0.1", f"port={PORT}", "sync=false"],
        "ffmpeg -f rtp_mpegts": ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-i", str(stream),
                                 "-map", "0", "-c", "copy", "-f", "rtp_mpegts", f"rtp://127.0.0.1:{PORT}"],
    }
    runs_of = {k: [] for k in senders}
    names = list(senders)
    for r in range(runs):
        order = names if r % 2 == 0 else list(reversed(names))
        for name in order:
            rx = Receiver()
            rc, out, cpu = run_logged(senders[name], f"fig5-{re.sub(r'[^a-z]+', '-', name.lower())}-{r}")
            got = rx.result()
            if rc != 0:
                raise RuntimeError(f"{name} failed ({rc}):\n{out[-2000:]}")
            mbits = got["bytes"] * 8 / got["span_s"] / 1e6 if got["span_s"] > 0 else 0
            runs_of[name].append({"rate_dps": got["rate_dps"], "bytes": got["bytes"], "datagrams": got["datagrams"],
                                  "mbits": mbits, "cpu_s": cpu, "rtp_lost": got["rtp_lost"]})
            log(f"  round {r} {name:24s} {got['rate_dps']:9.1f} datagrams/s {mbits:8.1f} Mbit/s  cpu {cpu:.2f} s  "
                f"datagrams {int(got['datagrams'])}")
    bare = median([x["mbits"] for x in runs_of["bare sendto (Linux)"]])
    rows = []
    for name in names:
        rs = runs_of[name]
        mb = median([x["mbits"] for x in rs])
        rows.append({"sender": name, "mbits": mb, "dps": median([x["rate_dps"] for x in rs]),
                     "mean_datagram": median([x["bytes"] / x["datagrams"] for x in rs if x["datagrams"]]),
                     "cpu_s_per_GB": median([x["cpu_s"] for x in rs]) / (size_bytes / 1e9),
                     "efficiency": mb / bare, "runs": rs})
    return {"file_bytes": size_bytes, "rows": rows, "load_after": loadavg()}


# ---------------------------------------------------------------------------
# Report


def machine():
    cpu = ""
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem = Path("/proc/meminfo").read_text().split("\n")[0].split()[1]
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return {"cpu": cpu, "cpus": os.cpu_count(), "memory_GiB": round(int(mem) / 2 ** 20, 1),
            "kernel": os.uname().release, "wine": wine, "date": time.strftime("%Y-%m-%d %H:%M:%S %z")}


def report(results):
    lines = []
    m = results["machine"]
    lines += [f"Machine: {m['cpu']}, {m['cpus']} CPUs, {m['memory_GiB']} GiB, Linux {m['kernel']}, {m['wine']}; "
              f"run {m['date']}.", ""]
    f2 = results.get("figure2")
    if f2:
        lines += ["### 2. The module's own cost per packet (native, no system call)", "",
                  f"Load average before/after: {' '.join(f2['load_before'])} / {' '.join(f2['load_after'])}.", "",
                  "| case | module ns/packet | floor ns/packet | module MB/s | floor MB/s | module ÷ floor |",
                  "|---|---|---|---|---|---|"]
        for r in f2["gbench"]:
            lines.append(f"| {r['case']} | {r['module_ns']:.2f} | {r['floor_ns']:.2f} | {r['module_MBps']:.0f} | "
                         f"{r['floor_MBps']:.0f} | {r['ratio']:.2f} |")
        lines += ["", f"One take and release of the lock (std::mutex natively): {f2['lock_ns']:.2f} ns.", ""]
        if f2["callgrind"]:
            lines += ["| case | module instructions/packet | floor instructions/packet | module ÷ floor |",
                      "|---|---|---|---|"]
            for r in f2["callgrind"]:
                lines.append(f"| {r['case']} | {r['module_ir']:.1f} | {r['floor_ir']:.1f} | {r['ratio']:.2f} |")
            lines.append("")
        if f2["wine_driver"]:
            lines += ["Under Wine (Windows build, the lock a critical section), median of alternating runs:", "",
                      "| case | module ns/packet | floor ns/packet | module ÷ floor |", "|---|---|---|---|"]
            for r in f2["wine_driver"]:
                lines.append(f"| {r['case']} | {r['module_ns']:.2f} | {r['floor_ns']:.2f} | {r['ratio']:.2f} |")
            lines.append("")
    for key in ("figure1", "figure1_programs"):
        f1 = results.get(key)
        if not f1:
            continue
        cut = f" with Programs={f1['programs']}" if f1.get("programs") else ""
        lines += [f"### 1. End-to-end efficiency under Wine{cut}", "",
                  f"{f1['file_bytes']} bytes played by tovrin-host --fast through the module{cut}; the bare loop sends the "
                  f"same number of datagrams of the same size. Median of the alternating runs listed; datagrams "
                  "per second as the receiver counted them (first to last arrival).", "",
                  "| placement | N | framing | datagrams | module in tovrin-host, datagrams/s | bare sendto loop, "
                  "datagrams/s | **module ÷ bare** | run-by-run ratios (median) | module path without the host, "
                  "datagrams/s | path ÷ bare | lost (module) | CPU s/GB module / bare (process + wineserver) | "
                  "load before → after |",
                  "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
        for e in f1["modes"]:
            lost = sum(int(x["rtp_lost"]) + int(e["datagrams"] - x["received"]) for x in e["module"])
            framing = e.get("protocol", "rtp").upper()
            lines.append(f"| {e['mode']} | {e['N']} | {framing} | {e['datagrams']} | {e['module_dps']:.0f} | "
                         f"{e['bare_dps']:.0f} | "
                         f"**{e['ratio']:.3f}** | {', '.join(f'{x:.2f}' for x in e['paired_ratios'])} "
                         f"({e['paired_median']:.3f}) | {e['path_dps']:.0f} | {e['ratio_path']:.3f} | {lost} | "
                         f"{e['module_cpu_s_per_GB']:.1f} / {e['bare_cpu_s_per_GB']:.1f} | "
                         f"{' '.join(e['load_before'])} → {' '.join(e['load_after'])} |")
        lines.append("")
    for f4 in results.get("figure4") or []:
        h = f4["host"]
        lines += [f"### 4. Live rate under Wine, {f4['mode']}", "",
                  f"tovrin-host --rate {f4['mbits']:g} --loop for {h['seconds']:.1f} s, N = {f4['N']}. "
                  f"Load before/after: {' '.join(f4['load_before'])} / {' '.join(f4['load_after'])}.", "",
                  f"- Datagrams: {int(f4['received'])} received of {int(f4['delivered_datagrams'])} that the packets "
                  f"handed to the module make; **{int(f4['rtp_lost'])} lost** in the stream (RTP sequence gaps), "
                  f"{int(f4['kernel_drops'])} dropped by the receiver's socket buffer; "
                  f"{int(f4['not_received'])} not sent (packets of the last block(s), which arrive after Stop "
                  "and are dropped by design, and the aligner's partial chunk).",
                  f"- The engine thread spent {h['in_module_s']:.3f} s of {h['seconds']:.3f} s inside the module's "
                  f"receive call ({100 * f4['in_module_share']:.1f} %), {f4['in_module_per_datagram_us']:.1f} µs a "
                  "datagram: almost all of it in sendto.",
                  f"- A bare loop at the same pace spends {', '.join(f'{c:.1f}' for c in f4['calibration_sendto_us'])}"
                  f" µs in one sendto (before and after the live run); by subtraction the module's own part is "
                  f"{f4['outside_sendto_s']:.3f} s ({100 * f4['outside_sendto_share']:.1f} %), within the run-to-run "
                  "spread of sendto itself."]
        if "path_share" in f4:
            lines.append(f"- Measured directly (the module's path without sendto, Windows build under this Wine, "
                         f"{f4['path_ns_per_packet']:.1f} ns a packet, at {LIVE_MBITS:g} Mbit/s = "
                         f"{LIVE_MBITS * 1e6 / 8 / TS:.0f} packets/s): **{100 * f4['path_share']:.2f} %** of the "
                         "engine thread's time.")
        lines.append("")
    f5 = results.get("figure5")
    if f5:
        lines += ["### 5. Peers on the same file (native Linux, unpinned)", "",
                  "| sender | Mbit/s | datagrams/s | mean datagram bytes | CPU s per GB | efficiency (÷ bare sendto) |",
                  "|---|---|---|---|---|---|"]
        for r in f5["rows"]:
            lines.append(f"| {r['sender']} | {r['mbits']:.0f} | {r['dps']:.0f} | {r['mean_datagram']:.0f} | "
                         f"{r['cpu_s_per_GB']:.2f} | {r['efficiency']:.2f} |")
        lines.append("")
    if results.get("soak"):
        import soak
        lines += soak.report(results["soak"])
    return "\n".join(lines)


def main():
    global log_file, PORT
    # bench/soak.py imports this file as "bench": let it find this instance,
    # with its log file, rather than load a second copy.
    sys.modules.setdefault("bench", sys.modules[__name__])
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5, help="alternating runs per end-to-end case (default 5)")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions, a 10 s live run")
    parser.add_argument("--skip-wine", action="store_true", help="only the native figures 2 and 5")
    parser.add_argument("--only", default="2,1,4,5", help="figures to run, e.g. 2,5; 'soak' for the soak")
    parser.add_argument("--soak-minutes", type=float, default=30, help="length of the soak (default 30)")
    parser.add_argument("--soak-restart-every", type=float, default=10,
                        help="seconds between the soak's Start and its next Stop (default 10)")
    parser.add_argument("--merge", action="store_true",
                        help="keep the figures of the previous results.json that this run does not make")
    parser.add_argument("--placements", default="pinned,unpinned",
                        help="CPU placements for the Wine figures 1 and 4 (default pinned,unpinned)")
    parser.add_argument("--protocols", default="rtp",
                        help="framings for figure 1: rtp, udp (the module's Protocol=UDP) or rtp,udp (default rtp)")
    parser.add_argument("--programs", default="",
                        help="figure 1 with the module's Programs key set to this list (e.g. 28106), on a "
                             "three-program stream; its results go to figure1_programs")
    parser.add_argument("--port", type=int, default=PORT,
                        help="UDP port on 127.0.0.1 for the senders and the receiver (default: one that is free "
                             "at start, so that tests and other benchmarks may run beside it)")
    args = parser.parse_args()
    PORT = args.port or free_udp_port()
    figures = set(args.only.split(","))
    args.placements = set(args.placements.split(","))
    args.protocols = [p for p in args.protocols.split(",") if p]
    if not args.protocols or set(args.protocols) - {"rtp", "udp"}:
        parser.error("--protocols takes rtp, udp or rtp,udp")

    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / "logs").mkdir(exist_ok=True)
    log_file = open(OUT / "bench.log", "w")
    stream = DATA / "stream.ts"
    results = {}
    if args.merge and (OUT / "results.json").exists():
        results = json.loads((OUT / "results.json").read_text())
    results.update({"machine": machine(), "command": " ".join(sys.argv)})
    log("machine:", results["machine"])

    args.wine = None
    try:
        if not args.skip_wine and figures & {"1", "2", "4", "soak"}:
            args.wine = Wine()
            args.wine.start_display()
            args.wine.start_server(None)
        args.figure2 = results.get("figure2")
        if "2" in figures:
            results["figure2"] = args.figure2 = figure2(args)
        if "1" in figures and args.wine and args.programs:
            results["figure1_programs"] = figure1(args, programs_stream())
        elif "1" in figures and args.wine:
            fig1 = figure1(args, stream)
            if args.merge and results.get("figure1"):
                kept = [e for e in results["figure1"]["modes"] if e["mode"] not in args.placements]
                fig1["modes"] = kept + fig1["modes"]
            results["figure1"] = fig1
        if "4" in figures and args.wine:
            fig4 = figure4(args, stream)
            if args.merge and results.get("figure4"):
                fig4 = [e for e in results["figure4"] if e["mode"] not in args.placements] + fig4
            results["figure4"] = fig4
        if "5" in figures:
            results["figure5"] = figure5(args, stream)
        if "soak" in figures and args.wine:
            import soak
            results["soak"] = soak.soak(args, stream)
    finally:
        if args.wine:
            args.wine.close()
        args.wine = None
        (OUT / "results.json").write_text(json.dumps(results, indent=2, default=str))
        (OUT / "report.md").write_text(report(results))
    log("")
    log((OUT / "report.md").read_text())
    log(f"results: {OUT / 'results.json'}, {OUT / 'report.md'}")


if __name__ == "__main__":
    main()
