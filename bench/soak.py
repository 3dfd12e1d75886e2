"""The soak of bench/README.md, run by bench/bench.py (--only soak).

tovrin-host streams the test file through the module at 60 Mbit/s under Wine
with the dialog open, presses Stop and Start every 10 s, and prints what the
process holds every 30 s; a receiver with a 64 MiB buffer splits what arrives
into runs at the pauses. Meanwhile this script reads the Wine process's
memory from Linux and the load average every 10 s. Before and after, the
module's traffic path without a socket and a bare sendto loop at the same
pace are timed, for the module's share of the engine thread's time.
"""

import os
import re
import statistics
import subprocess
import time
from pathlib import Path

import bench as b

N = 7
HOST_SAMPLE_S = 30
LINUX_SAMPLE_S = 10
RUN_GAP_MS = 250           # a restart's pause is 500 ms; inside a run datagrams come every few ms
RECEIVER_IDLE_MS = 5000    # longer than any restart, so only the end of the soak ends the receiver
HOST_NAME = "tovrin-host.exe"


# ---------------------------------------------------------------------------
# The Wine process, seen from Linux


def parent_of(pid):
    try:
        return int(Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return None


def host_process(root_pid):
    """The Linux process running tovrin-host.exe below root_pid (wine-run's
    shell), or None: other developers' hosts on this machine are not ours."""
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if HOST_NAME not in cmdline.lower() or "wine-run" in cmdline:
            continue
        pid = int(entry.name)
        ancestor = parent_of(pid)
        while ancestor and ancestor > 1:
            if ancestor == root_pid:
                return pid
            ancestor = parent_of(ancestor)
    return None


def linux_view(pid):
    """Memory (bytes) and open files of a live process, from /proc."""
    view = {}
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon", "RssFile", "VmSize", "Threads"):
                parts = value.split()
                view[key] = int(parts[0]) * (1024 if len(parts) > 1 else 1)
        for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
            key, _, value = line.partition(":")
            if key in ("Private_Clean", "Private_Dirty"):
                view[key] = int(value.split()[0]) * 1024
        view["Private"] = view.get("Private_Clean", 0) + view.get("Private_Dirty", 0)
        view["fds"] = len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return None
    return view


# ---------------------------------------------------------------------------
# The run


def host_stops(text):
    return [int(m) for m in re.findall(r"host: stopped after (\d+) packets in all", text)]


def host_samples(text):
    """The host's "sample:" lines; handle_types stays text."""
    return [{k: v if k == "handle_types" else float(v) for k, v in b.keyvalues(line).items()}
            for line in text.splitlines() if line.startswith("sample: ")]


def spread(values):
    return {"start": values[0], "end": values[-1], "min": min(values), "max": max(values)} if values else None


def soak(args, stream):
    wine = args.wine
    seconds = args.soak_minutes * 60
    wine.start_server(None)
    restart_every = args.soak_restart_every
    b.log(f"== soak: {b.LIVE_MBITS} Mbit/s for {seconds:.0f} s, Stop and Start every {restart_every:g} s, N={N}",
          "load", b.loadavg())
    result = {"seconds": seconds, "mbits": b.LIVE_MBITS, "N": N, "restart_every_s": restart_every,
              "load_before": b.loadavg(), "start": time.strftime("%Y-%m-%d %H:%M:%S %z")}

    # Before: the module's path without a socket, and sendto at the live pace.
    rate = b.LIVE_MBITS * 1e6 / 8 / (N * b.TS)
    path_ns = [b.wine_path_ns(wine, "module", N, f"soak-path-before-{r}") for r in range(3)]
    calib = [b.paced_sendto_us(wine, rate, 8, N, None, None, "soak-calib-before")]

    rx = b.Receiver(None, idle_ms=RECEIVER_IDLE_MS, run_gap_ms=RUN_GAP_MS)
    host_log = b.OUT / "logs" / "soak-host.log"
    args_host = b.host_args(stream, N, ["--rate", str(b.LIVE_MBITS), "--loop", "--restart-every",
                                        f"{restart_every:g}", "--sample-every", str(HOST_SAMPLE_S),
                                        "--close-after", str(seconds)])
    result["command"] = "tovrin-host " + " ".join(Path(a).name if "/" in a else a for a in args_host[1:])
    with open(host_log, "w") as out:
        host = subprocess.Popen([str(b.WINDOWS / "wine-run")] + args_host, stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, env=wine.env)
    series = []
    pid = None
    began = time.monotonic()
    deadline = began + seconds + 300
    next_sample = began
    while host.poll() is None:
        if time.monotonic() > deadline:
            host.kill()
            raise RuntimeError("the soak's host did not end in time")
        now = time.monotonic()
        if now >= next_sample:
            next_sample += LINUX_SAMPLE_S
            pid = pid or host_process(host.pid)
            streaming = "sample: " in host_log.read_text(errors="replace")
            entry = {"t": round(now - began, 1), "load": [float(x) for x in b.loadavg()]}
            if pid and streaming:
                entry["host"] = linux_view(pid)
                entry["wineserver"] = linux_view(wine.server.pid) if wine.server else None
            series.append(entry)
            if len(series) % 30 == 1:
                b.log(f"  {entry['t']:7.1f} s  load {' '.join(b.loadavg())}  host {entry.get('host')}")
        time.sleep(0.5)
    got = rx.result()
    text = host_log.read_text(errors="replace")
    if host.returncode != 0:
        raise RuntimeError(f"the soak's host failed ({host.returncode}):\n{text[-3000:]}")

    calib.append(b.paced_sendto_us(wine, rate, 8, N, None, None, "soak-calib-after"))
    path_ns += [b.wine_path_ns(wine, "module", N, f"soak-path-after-{r}") for r in range(3)]
    result["load_after"] = b.loadavg()
    result.update(account(got, rx.runs, host_stops(text), b.host_summary(text)))
    samples = host_samples(text)
    result.update(resources(samples, series))
    result.update(share(samples[0], samples[-1], got["datagrams"], path_ns, calib))
    result["series"] = series
    b.log(f"  runs {result['runs_host']} (receiver {result['runs_received']}); datagrams {result['received']} of "
          f"{result['expected']}; lost within runs {result['lost_within']}; sequence jumps at restarts "
          f"{result['restart_jumps']}; TS packets left in a partial chunk at Stop {result['partial_packets']}")
    return result


def account(got, runs, stops, summary):
    """Every run's datagrams against what the host delivered in it."""
    delivered = [after - before for before, after in zip([0] + stops, stops)]
    out = {"runs_host": len(stops), "restarts": max(0, len(stops) - 1), "runs_received": len(runs),
           "delivered_packets": stops[-1] if stops else 0, "host_summary": summary,
           "received": int(got["datagrams"]), "received_ts_packets": int(got["ts_packets"]),
           "kernel_drops": int(got["kernel_drops"]), "lost_within": int(got["rtp_lost_within"]),
           "restart_jumps": int(got["restart_jumps"]), "ts_irregular": int(got["ts_irregular"]),
           "expected": sum(p // N for p in delivered), "partial_packets": sum(p % N for p in delivered),
           "partial_stops": sum(1 for p in delivered if p % N)}
    out["seq_jump_sum"] = int(sum(abs(r["seq_jump"]) for r in runs))
    out["ts_jumps"] = sum(1 for r in runs if r["ts_jump"] != 0)
    out["receiver_runs"] = runs
    # Run by run. A sender that stalls for the run gap splits one run in two
    # at the receiver; every real restart must still fall on a boundary, so
    # the receiver's runs are merged until they hold what the host's runs
    # made, and a run end where the two counts differ is a mismatch.
    expected = received = mismatched = 0
    rest = list(runs)
    for p in delivered:
        expected += p // N
        while rest and received < expected:
            received += int(rest.pop(0)["datagrams"])
        mismatched += received != expected
    out.update({"runs_mismatched": mismatched, "receiver_stalls": len(runs) - len(delivered) - len(rest),
                "datagrams_after_last_stop": sum(int(r["datagrams"]) for r in rest)})
    # The rate while streaming: a loaded engine that falls behind in a run
    # does not catch up after the restart (pacing starts anew at each Start).
    span = sum(r["span_s"] for r in runs)
    out["mbits_within_runs"] = sum(r["ts_packets"] for r in runs) * b.TS * 8 / span / 1e6 if span > 0 else 0.0
    return out


def resources(samples, series):
    """Start, end, min and max of what the process holds, both views."""
    out = {"host_samples": samples}
    for key in ("handles", "handles_listed", "private_usage_bytes", "private_committed_bytes", "working_set_bytes"):
        out["win_" + key] = spread([s[key] for s in samples])
    live = [e for e in series if e.get("host")]
    for key in ("VmRSS", "RssAnon", "Private", "fds", "Threads"):
        out["linux_" + key] = spread([e["host"][key] for e in live if key in e["host"]])
    out["wineserver_VmRSS"] = spread([e["wineserver"]["VmRSS"] for e in live if e.get("wineserver")])
    loads = [e["load"][0] for e in series]
    out["load1"] = {"min": min(loads), "median": statistics.median(loads), "max": max(loads)} if loads else None
    return out


def share(first, last, datagrams, path_ns, calib):
    """The engine thread's time from the first sample (at Start) to the last,
    and the module's part of it, as figure 4 measures it."""
    wall = last["t"] - first["t"]
    out = {"engine_cpu_s": last["engine_cpu_s"] - first["engine_cpu_s"],
           "in_module_s": last["in_module_s"] - first["in_module_s"], "packets": last["packets"] - first["packets"],
           "path_ns": statistics.median(path_ns), "path_ns_runs": path_ns, "sendto_us": calib, "wall_s": wall}
    own = out["path_ns"] * 1e-9 * out["packets"]
    out["module_own_s"] = own
    out["module_own_share_wall"] = own / wall
    out["module_own_share_cpu"] = own / out["engine_cpu_s"] if out["engine_cpu_s"] > 0 else None
    out["in_module_share_wall"] = out["in_module_s"] / wall
    out["engine_cpu_share_wall"] = out["engine_cpu_s"] / wall
    out["in_module_per_datagram_us"] = out["in_module_s"] / datagrams * 1e6 if datagrams else None
    out["outside_sendto_s"] = out["in_module_s"] - datagrams * statistics.mean(calib) * 1e-6
    return out


# ---------------------------------------------------------------------------
# Report


def mib(x):
    return f"{x / 2 ** 20:.1f}"


def report(r):
    lines = [f"### Soak: {r['seconds'] / 60:g} minutes at {r['mbits']:g} Mbit/s, Stop and Start every "
             f"{r['restart_every_s']:g} s (Wine, unpinned)", "",
             f"`{r['command']}`, from {r['start']}. Load average (1-minute) through the run: "
             f"{r['load1']['min']:.2f} to {r['load1']['max']:.2f}, median {r['load1']['median']:.2f}; "
             f"before/after: {' '.join(r['load_before'])} / {' '.join(r['load_after'])}.", "",
             "| figure | value |", "|---|---|",
             f"| runs (Start to Stop) | {r['runs_host']} ({r['restarts']} restarts); the receiver saw "
             f"{r['runs_received']} ({r.get('receiver_stalls', 0)} of them a pause of ≥ {RUN_GAP_MS} ms inside a "
             "run) |",
             f"| packets delivered to the module | {r['delivered_packets']}; "
             f"{r['mbits_within_runs']:.1f} Mbit/s of TS while the runs streamed |",
             f"| datagrams expected (whole chunks of each run) / received | {r['expected']} / {r['received']} |",
             f"| **datagrams lost within runs** (sequence gaps inside a run) | **{r['lost_within']}** |"]
    if "runs_mismatched" in r:
        lines.append(f"| run ends where the datagrams received so far differ from the whole chunks delivered so "
                     f"far | {r['runs_mismatched']} of {r['runs_host']} |")
    lines += [f"| socket-buffer drops at the receiver | {r['kernel_drops']} |",
              f"| **sequence gaps across restarts** (runs whose first number does not follow) | "
              f"**{r['restart_jumps']}** (sum of jumps {r['seq_jump_sum']}); timestamp jumps {r['ts_jumps']}, "
              f"irregular timestamp steps {r['ts_irregular']} |",
              f"| TS packets left in a partial chunk at Stop, never sent | {r['partial_packets']} at "
              f"{r['partial_stops']} of {r['runs_host']} Stops; received TS packets {r['received_ts_packets']} = "
              f"{r['delivered_packets']} − {r['delivered_packets'] - r['received_ts_packets']} |"]

    def row(name, key, fmt):
        v = r.get(key)
        if not v:
            return
        lines.append(f"| {name} | {fmt(v['start'])} → {fmt(v['end'])} (min {fmt(v['min'])}, max {fmt(v['max'])}) |")

    row("handles (GetProcessHandleCount) start → end", "win_handles", lambda x: f"{x:.0f}")
    row("handles (the process's entries in the system handle table) start → end", "win_handles_listed",
        lambda x: f"{x:.0f}")
    row("private memory (PrivateUsage), MiB", "win_private_usage_bytes", mib)
    row("private memory (committed private pages, VirtualQuery), MiB", "win_private_committed_bytes", mib)
    row("working set, MiB", "win_working_set_bytes", mib)
    row("Linux: Private_Clean + Private_Dirty (smaps_rollup), MiB", "linux_Private", mib)
    row("Linux: RssAnon, MiB", "linux_RssAnon", mib)
    row("Linux: VmRSS, MiB", "linux_VmRSS", mib)
    row("Linux: open file descriptors", "linux_fds", lambda x: f"{x:.0f}")
    row("Linux: threads", "linux_Threads", lambda x: f"{x:.0f}")
    row("wineserver VmRSS, MiB", "wineserver_VmRSS", mib)
    lines += [f"| engine thread: wall / CPU (GetThreadTimes) / inside the module's receive call | "
              f"{r['wall_s']:.0f} s / {r['engine_cpu_s']:.1f} s ({100 * r['engine_cpu_share_wall']:.1f} %) / "
              f"{r['in_module_s']:.1f} s ({100 * r['in_module_share_wall']:.1f} %, "
              f"{r['in_module_per_datagram_us']:.1f} µs a datagram) |",
              f"| **module's own work** (path without sendto, {r['path_ns']:.1f} ns a packet under Wine × "
              f"{r['packets']:.0f} packets) | **{r['module_own_s']:.2f} s: {100 * r['module_own_share_wall']:.2f} % of "
              f"the engine thread's time**, {100 * (r['module_own_share_cpu'] or 0):.2f} % of its CPU time |",
              f"| the same by subtraction (bare sendto at this pace: "
              f"{', '.join(f'{c:.1f}' for c in r['sendto_us'])} µs before, after) | "
              f"{r['outside_sendto_s']:.1f} s ({100 * r['outside_sendto_s'] / r['wall_s']:.1f} %) |", ""]
    lines += series_table(r)
    return lines


def series_table(r, every_s=300):
    """What the process holds through the run, one row every five minutes."""
    samples = r["host_samples"]
    live = [e for e in r["series"] if e.get("host")]
    if not samples or not live:
        return []
    lines = ["| minute | handles (listed) | handle types (type:count) | private committed, MiB | "
             "Linux private, MiB | Linux RssAnon, MiB | wineserver VmRSS, MiB | load (1 min) |",
             "|---|---|---|---|---|---|---|---|"]
    t0, l0 = samples[0]["t"], live[0]["t"]
    picked = [s for i, s in enumerate(samples) if (s["t"] - t0) // every_s != (samples[i - 1]["t"] - t0) // every_s
              or i == 0 or i == len(samples) - 1]
    for s in picked:
        e = min(live, key=lambda x: abs((x["t"] - l0) - (s["t"] - t0)))
        ws = e.get("wineserver") or {}
        lines.append(f"| {(s['t'] - t0) / 60:.1f} | {s['handles_listed']:.0f} | {s['handle_types']} | "
                     f"{mib(s['private_committed_bytes'])} | {mib(e['host']['Private'])} | "
                     f"{mib(e['host']['RssAnon'])} | {mib(ws.get('VmRSS', 0))} | {e['load'][0]:.2f} |")
    lines.append("")
    return lines
