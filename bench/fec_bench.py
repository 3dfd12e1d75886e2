#!/usr/bin/env python3
"""The cost of column and row FEC (bench/README.md, "FEC"):

  native  the XOR per media datagram (Fec/Protect less Fec/CopyOnly) and the
          module's path per packet with and without FEC (tovrin-traffic-bench)
  ratio   under Wine: tovrin-host playing the stream through the module as
          fast as it goes with FEC=10x10, against a bare sendto loop sending
          as many datagrams as the module sends media and FEC packets
          together; alternating runs, pinned as figure 1 is
  live    60 Mbit/s with FEC=5x5 for 10 s under Wine, no relay: every media
          datagram and every FEC packet received

Uses bench.py's receivers, Wine server and host arguments; the builds of
bench/run.sh (native bench preset; the Windows build given by --windows).
Run it alone on the machine (under the shared test lock).

  python3 bench/fec_bench.py [--runs 3] [--windows build/windows] [--port 43390]
"""

import argparse
import json
import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench as b  # noqa: E402

FEC_OFFSETS = (2, 4)


def counter(port, idle_ms=1500, cpus=None):
    """tovrin-udp-counter on one of the FEC ports."""
    p = subprocess.Popen([str(b.NATIVE / "tovrin-udp-counter"), str(port), str(idle_ms)], stdout=subprocess.PIPE,
                         text=True, preexec_fn=b.pin(cpus))
    if not p.stdout.readline().startswith("ready"):
        raise RuntimeError(f"counter on {port} did not start")
    return p


def counted(p):
    try:
        out, _ = p.communicate(timeout=5)
    except subprocess.TimeoutExpired:
        p.terminate()
        out, _ = p.communicate(timeout=10)
    return {k: float(v) for k, v in b.keyvalues(out.strip().splitlines()[-1]).items()}


def native():
    b.log("== FEC natively: XOR per media datagram, the module's path with and without FEC")
    out = subprocess.run([str(b.NATIVE / "tovrin-traffic-bench"), "--benchmark_filter=Fec|ModulePath/Packets/N:7/block:100",
                          "--benchmark_repetitions=9", "--benchmark_report_aggregates_only=true",
                          "--benchmark_enable_random_interleaving=true", "--benchmark_format=json"],
                         capture_output=True, text=True, check=True).stdout
    rows = {r["run_name"]: r for r in json.loads(out)["benchmarks"] if r.get("aggregate_name") == "median"}
    per = lambda name, items: rows[name]["cpu_time"] / items  # ns per item of one iteration
    datagrams = b.STREAM_PACKETS // 7
    result = {"copy_ns": per("Fec/CopyOnly", datagrams)}
    for case in ("L:5/D:5", "L:10/D:10", "L:20/D:5"):
        result[f"protect_ns {case}"] = per(f"Fec/Protect/{case}", datagrams)
        result[f"xor_ns {case}"] = result[f"protect_ns {case}"] - result["copy_ns"]
    result["path_ns_per_packet"] = per("ModulePath/Packets/N:7/block:100", b.STREAM_PACKETS)
    for l in (5, 10):
        result[f"path_ns_per_packet fec {l}x{l}"] = per(f"Fec/ModulePath/N:7/block:100/LxL:{l}", b.STREAM_PACKETS)
    for k, v in result.items():
        b.log(f"  {k:34s} {v:8.1f} ns")
    return result


def ratio(args, stream):
    """Four senders a round, in an order that turns: the module with FEC
    against a bare loop of as many datagrams, and the module without FEC
    against a bare loop of the media datagrams alone, so that what FEC adds
    shows apart from what the host costs. Rates are the senders' own: the
    host's delivery time (the completion at Stop comes after it) and the
    bare loop's time."""
    wine = args.wine
    n, columns, rows = 7, 10, 10
    media = stream.stat().st_size // b.TS // n
    matrices = -(-media // (columns * rows))
    total = matrices * columns * rows + matrices * (columns + rows)
    during = media + (media // columns) + (media // (columns * rows) - 1) * columns  # sent while delivering
    b.log(f"== FEC ratio under Wine, pinned: module with FEC {columns}x{rows} ({media} media datagrams, "
          f"{total} with the padding and FEC) against a bare loop of as many to the same ports; without FEC against {media}",
          "load", b.loadavg())
    wine.start_server({0})
    senders = ["module_fec", "bare_total", "module", "bare_media"]
    result = {"media": media, "total": total, "load_before": b.loadavg(), **{who: [] for who in senders}}
    for r in range(args.runs):
        for who in senders[r % 4:] + senders[:r % 4]:
            rx = b.Receiver({1})
            fec_rx = [counter(b.PORT + o, cpus={1}) for o in FEC_OFFSETS]
            if who.startswith("module"):
                fec = f"FEC={columns}x{rows}" if who == "module_fec" else "FEC="
                rc, out, cpu = wine.run(b.host_args(stream, n, ["--fast", "--close-when-done", "--ini-key", fec]),
                                        f"fec-ratio-{r}-{who}", cpus={0})
                rate = (during if who == "module_fec" else media) / b.host_summary(out)["seconds"]
            else:
                # With --fec, the loop sends the FEC datagrams beside the
                # media as the module does: to the same three ports.
                fec = ["--fec", str(columns), str(rows)] if who == "bare_total" else []
                rc, out, cpu = wine.run([str(b.WINDOWS / "tovrin-bare-sendto.exe")] + fec +
                                        ["127.0.0.1", str(b.PORT), str(b.HEADER + n * b.TS), str(media)],
                                        f"fec-ratio-{r}-{who}", cpus={0})
                rate = float(b.keyvalues(out)["rate_dps"])
            got = rx.result()
            fec_got = [counted(p) for p in fec_rx]
            if rc != 0:
                raise RuntimeError(f"{who} failed ({rc}):\n{out[-2000:]}")
            datagrams = got["datagrams"] + sum(f["datagrams"] for f in fec_got)
            result[who].append({"rate_dps": rate, "received": datagrams, "media_lost": got["rtp_lost"],
                                "kernel_drops": got["kernel_drops"] + sum(f["kernel_drops"] for f in fec_got),
                                "cpu_s": cpu, "load": b.loadavg()})
            b.log(f"  run {r} {who:10s} {rate:9.1f} datagrams/s  received {int(datagrams)}  cpu {cpu:.2f} s")
    for who in senders:
        result[who + "_dps"] = b.median([x["rate_dps"] for x in result[who]])
    result["ratio_fec"] = result["module_fec_dps"] / result["bare_total_dps"]
    result["ratio_plain"] = result["module_dps"] / result["bare_media_dps"]
    result["load_after"] = b.loadavg()
    b.log(f"  median: with FEC module/bare {result['ratio_fec']:.3f}; without FEC module/bare "
          f"{result['ratio_plain']:.3f}")
    return result


def live(args, stream):
    wine = args.wine
    n, columns, rows, seconds = 7, 5, 5, args.live_seconds
    b.log(f"== FEC live under Wine, pinned: {b.LIVE_MBITS} Mbit/s for {seconds} s with FEC {columns}x{rows}",
          "load", b.loadavg())
    wine.start_server({0})
    rx = b.Receiver({1}, idle_ms=2000)
    fec_rx = [counter(b.PORT + o, idle_ms=2000, cpus={1}) for o in FEC_OFFSETS]
    rc, out, cpu = wine.run(b.host_args(stream, n, ["--rate", str(b.LIVE_MBITS), "--loop", "--close-after",
                                                    str(seconds + 1), "--ini-key", f"FEC={columns}x{rows}"]),
                            "fec-live", cpus={0}, timeout=seconds + 120)
    got = rx.result()
    fec_got = [counted(p) for p in fec_rx]
    host = b.host_summary(out)
    delivered = host["packets"] // n
    matrices = -(-delivered // (columns * rows))
    result = {"mbits": b.LIVE_MBITS, "seconds": host["seconds"], "delivered": delivered,
              "media_expected": matrices * columns * rows, "media_received": got["datagrams"],
              "media_lost": got["rtp_lost"], "kernel_drops": got["kernel_drops"],
              "columns_expected": matrices * columns, "columns_received": fec_got[0]["datagrams"],
              "rows_expected": matrices * rows, "rows_received": fec_got[1]["datagrams"],
              "fec_kernel_drops": sum(f["kernel_drops"] for f in fec_got), "in_module_s": host["in_module_s"],
              "cpu_s": cpu}
    result["all_received"] = (result["media_received"] == result["media_expected"]
                              and result["columns_received"] == result["columns_expected"]
                              and result["rows_received"] == result["rows_expected"])
    for k, v in result.items():
        b.log(f"  {k:18s} {v}")
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--live-seconds", type=int, default=10)
    ap.add_argument("--windows", default=str(b.WINDOWS), help="Windows build with TOVRIN_BENCH (bench/run.sh's)")
    ap.add_argument("--port", type=int, default=43390)
    ap.add_argument("--only", default="native,ratio,live")
    args = ap.parse_args()
    b.PORT = args.port
    b.WINDOWS = Path(args.windows).resolve()
    b.OUT.mkdir(parents=True, exist_ok=True)
    (b.OUT / "logs").mkdir(exist_ok=True)
    stream = b.DATA / "stream.ts"
    only = set(args.only.split(","))
    results = {"machine": b.machine(), "command": " ".join(sys.argv)}
    if "native" in only:
        results["native"] = native()
    args.wine = None
    try:
        if only & {"ratio", "live"}:
            args.wine = b.Wine()
            args.wine.start_display()
        if "ratio" in only:
            results["ratio"] = ratio(args, stream)
        if "live" in only:
            results["live"] = live(args, stream)
    finally:
        if args.wine:
            args.wine.close()
        (b.OUT / "fec-results.json").write_text(json.dumps(results, indent=2, default=str))
    b.log(f"results: {b.OUT / 'fec-results.json'}")


if __name__ == "__main__":
    main()
