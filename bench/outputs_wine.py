#!/usr/bin/env python3
"""A headend under Wine (bench/README.md, "Several outputs"): the module with
16 outputs of one program each, fed a 60 Mbit/s transponder of 16 programs
as fast as it takes it, against a bare sendto loop sending the same
datagrams from the same process (tovrin-outputs-bench, bench/OutputsWineBench.cpp).

A first run of the module alone counts what each output sends (16
tovrin-udp-counter receivers, one per port). The measured run then
alternates module and bare passes in one process, the bare loop sending
exactly those counts; the receivers split the traffic into passes at the
silences between them and check every pass: each output's datagrams all
there, no RTP sequence gap, the same counts in every pass.

Per pass: datagrams per second from the first send to the last, and CPU per
datagram (the process's user + kernel time and the wineserver's, over the
same span). module ÷ bare is taken round by round (the two passes of a round
run back to back) and its median given, with the median rates and CPU.

Uses bench.py's Wine server, display and placement. Needs the builds of
bench/run.sh; makes the transponder with tools/make_sample.py once (never
committed).

  python3 bench/outputs_wine.py [--rounds 5] [--placements pinned,unpinned] [--outputs 16]
"""

import argparse
import json
import signal
import socket
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import bench as b  # noqa: E402
import ts_tables  # noqa: E402

RUN_GAP_MS = 600          # the program is silent 1 s between passes
MERGE_GAP_S = 0.9         # runs closer than this are one pass split by a stall
PLACEMENTS = {"pinned": ({0}, {0}, {1}), "unpinned": (None, None, None)}  # wineserver, sender, receivers


def transponder(seconds):
    """16 TV programs of about 3.4 Mbit/s in a 60 Mbit/s multiplex."""
    path = b.DATA / "headend16.ts"
    if not path.exists() or path.stat().st_size < seconds * 7_000_000:
        b.log(f"== making {path}")
        b.DATA.mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, str(b.ROOT / "tools" / "make_sample.py"), str(path), "--tv-programs", "16",
                        "--seconds", str(seconds), "--video-bitrate", "3.4M", "--muxrate", "60M"], check=True)
    return path


def program_numbers(path, count):
    with open(path, "rb") as f:
        head = f.read(188 * 20000)
    _, _, pat = ts_tables.parse_pat(ts_tables.table_sections(ts_tables.packets(head), ts_tables.PAT_PID)[0][1])
    numbers = sorted(n for n in pat if n != 0)
    if len(numbers) < count:
        raise RuntimeError(f"{path} has {len(numbers)} programs, not {count}")
    return numbers[:count]


def free_port_range(count):
    """A base port with `count` UDP ports after it that nothing has bound now."""
    for _ in range(50):
        base = b.free_udp_port()
        if base + count > 65535:
            continue
        socks = []
        try:
            for port in range(base, base + count):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                socks.append(s)
                s.bind(("127.0.0.1", port))
            return base
        except OSError:
            pass
        finally:
            for s in socks:
                s.close()
    raise RuntimeError("no free range of UDP ports")


class Counters:
    """One tovrin-udp-counter per output port, running until told to end."""

    def __init__(self, base, count, cpus):
        self.procs = []
        for port in range(base, base + count):
            p = subprocess.Popen([str(b.NATIVE / "tovrin-udp-counter"), str(port), "3600000", str(RUN_GAP_MS)],
                                 stdout=subprocess.PIPE, text=True, preexec_fn=b.pin(cpus))
            if not p.stdout.readline().startswith("ready"):
                raise RuntimeError(f"receiver on {port} did not start")
            self.procs.append(p)

    def runs(self):
        """Per port, its runs (dicts of bench/udp_counter.c's figures), stalls merged."""
        out = []
        for p in self.procs:
            p.send_signal(signal.SIGTERM)
            text, _ = p.communicate(timeout=30)
            runs = [{k: float(v) for k, v in b.keyvalues(l).items()} for l in text.splitlines() if l.startswith("run ")]
            merged = []
            for r in runs:
                if merged and r["start_s"] - (merged[-1]["start_s"] + merged[-1]["span_s"]) < MERGE_GAP_S:
                    last = merged[-1]
                    last["rtp_lost"] += r["rtp_lost"] + ((r["seq_first"] - last["seq_last"] - 1) & 0xFFFF)
                    last["datagrams"] += r["datagrams"]
                    last["span_s"] = r["start_s"] + r["span_s"] - last["start_s"]
                    last["seq_last"] = r["seq_last"]
                else:
                    merged.append(dict(r))
            out.append(merged)
        return out


def bench_command(args, stream, port, programs, rounds, bare, wine):
    ini = b.OUT / "outputs-bench.ini"
    cmd = [str(b.WINDOWS / "tovrin-outputs-bench.exe"), "--module", str(b.WINDOWS / "TovrinStreamer.module"),
           "--ini", str(ini), "--port", str(port), "--programs", ",".join(map(str, programs)),
           "--rounds", str(rounds)]
    if bare:
        cmd += ["--bare", ",".join(str(int(c)) for c in bare)]
    if wine.server:
        cmd += ["--wineserver", str(wine.server.pid)]
    return cmd + [str(stream)]


def passes_of(out):
    return [{k: (v if k == "kind" else float(v)) for k, v in b.keyvalues(l).items()}
            for l in out.splitlines() if l.startswith("pass ")]


def measure(args, wine, stream, programs, placement):
    server_cpus, sender_cpus, receiver_cpus = PLACEMENTS[placement]
    wine.start_server(server_cpus)
    k = len(programs)
    port = free_port_range(k)
    packets = stream.stat().st_size // b.TS

    # What each output sends for the file.
    counters = Counters(port, k, receiver_cpus)
    rc, out, _ = wine.run(bench_command(args, stream, port, programs, 1, None, wine), f"outputs-{placement}-count",
                          cpus=sender_cpus)
    runs = counters.runs()
    if rc != 0 or any(len(r) != 1 for r in runs):
        raise RuntimeError(f"the counting run failed ({rc}, runs per port {[len(r) for r in runs]}):\n{out[-2000:]}")
    counts = [int(r[0]["datagrams"]) for r in runs]
    b.log(f"== outputs under Wine, {placement}: {k} outputs, {sum(counts)} datagrams a pass "
          f"({min(counts)}-{max(counts)} an output) for {packets} packets; {args.rounds} rounds", "load", b.loadavg())

    load_before = b.loadavg()
    counters = Counters(port, k, receiver_cpus)
    rc, out, _ = wine.run(bench_command(args, stream, port, programs, args.rounds, counts, wine),
                          f"outputs-{placement}", cpus=sender_cpus, timeout=3600)
    runs = counters.runs()
    passes = passes_of(out)
    if rc != 0 or len(passes) != 2 * args.rounds:
        raise RuntimeError(f"the bench run failed ({rc}, {len(passes)} passes):\n{out[-3000:]}")
    problems = []
    for port_index, port_runs in enumerate(runs):
        if len(port_runs) != len(passes):
            problems.append(f"port {port + port_index}: {len(port_runs)} runs for {len(passes)} passes")
            continue
        for p, r in zip(passes, port_runs):
            if int(r["datagrams"]) != counts[port_index] or r["rtp_lost"]:
                problems.append(f"port {port + port_index}, round {int(p['round'])} {p['kind']}: "
                                f"{int(r['datagrams'])} of {counts[port_index]} datagrams, {int(r['rtp_lost'])} lost")
    total = sum(counts)
    for p in passes:
        if p["kind"] == "bare" and int(p["datagrams"]) != total:
            problems.append(f"round {int(p['round'])}: the bare loop sent {int(p['datagrams'])} of {total}")
        p["datagrams"] = total
        p["rate_dps"] = total / p["seconds"]
        p["source_mbits"] = packets * b.TS * 8 / p["seconds"] / 1e6 if p["kind"] == "module" else None
        cpu = p["process_cpu_s"] + max(p["wineserver_cpu_s"], 0.0)
        p["cpu_us_per_datagram"] = cpu / total * 1e6
        p["wineserver_us_per_datagram"] = p["wineserver_cpu_s"] / total * 1e6 if p["wineserver_cpu_s"] >= 0 else None
        b.log(f"  round {int(p['round'])} {p['kind']:6s} {p['rate_dps']:9.1f} datagrams/s  {p['seconds']:.3f} s  "
              f"CPU {p['cpu_us_per_datagram']:.1f} µs/datagram (process {p['process_cpu_s'] / total * 1e6:.1f}, "
              f"wineserver {p['wineserver_us_per_datagram'] if p['wineserver_us_per_datagram'] is not None else float('nan'):.1f})"
              + (f"  source {p['source_mbits']:.1f} Mbit/s" if p["source_mbits"] else ""))
    for problem in problems:
        b.log("  PROBLEM " + problem)

    by_round = {}
    for p in passes:
        by_round.setdefault(int(p["round"]), {})[p["kind"]] = p
    rate_ratios = [r["module"]["rate_dps"] / r["bare"]["rate_dps"] for r in by_round.values()]
    cpu_ratios = [r["module"]["cpu_us_per_datagram"] / r["bare"]["cpu_us_per_datagram"] for r in by_round.values()]
    med = lambda kind, key: b.median([p[key] for p in passes if p["kind"] == kind and p[key] is not None])
    result = {
        "placement": placement, "outputs": k, "programs": programs, "packets": packets, "counts": counts,
        "datagrams": total, "rounds": args.rounds, "passes": passes, "problems": problems,
        "rate_ratios": rate_ratios, "rate_ratio": b.median(rate_ratios),
        "cpu_ratios": cpu_ratios, "cpu_ratio": b.median(cpu_ratios),
        "module_dps": med("module", "rate_dps"), "bare_dps": med("bare", "rate_dps"),
        "module_cpu_us": med("module", "cpu_us_per_datagram"), "bare_cpu_us": med("bare", "cpu_us_per_datagram"),
        "module_server_us": med("module", "wineserver_us_per_datagram"),
        "bare_server_us": med("bare", "wineserver_us_per_datagram"),
        "source_mbits": med("module", "source_mbits"),
        "load_before": load_before, "load_after": b.loadavg(),
    }
    b.log(f"  median module {result['module_dps']:.1f} datagrams/s, bare {result['bare_dps']:.1f}; module ÷ bare "
          f"round by round {', '.join(f'{x:.3f}' for x in rate_ratios)} (median {result['rate_ratio']:.3f}); "
          f"CPU per datagram module {result['module_cpu_us']:.1f} µs, bare {result['bare_cpu_us']:.1f} µs, "
          f"ratio {result['cpu_ratio']:.3f}; the module took the transponder at {result['source_mbits']:.1f} Mbit/s")
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--placements", default="pinned,unpinned")
    ap.add_argument("--outputs", type=int, default=16, help="outputs, one program each (1..16)")
    ap.add_argument("--seconds", type=int, default=10, help="length of the transponder made")
    args = ap.parse_args()
    b.OUT.mkdir(parents=True, exist_ok=True)
    (b.OUT / "logs").mkdir(exist_ok=True)
    stream = transponder(args.seconds)
    programs = program_numbers(stream, args.outputs)
    wine = b.Wine()
    wine.start_display()
    results = []
    try:
        for placement in args.placements.split(","):
            results.append(measure(args, wine, stream, programs, placement))
    finally:
        wine.close()
    (b.OUT / "outputs-wine.json").write_text(json.dumps(results, indent=1))
    return 0 if all(not r["problems"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
