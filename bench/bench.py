#!/usr/bin/env python3
"""Runs every benchmark and prints one table.

    bench/bench.py BUILD_DIR [--runs N] [--markdown FILE]

Each figure is a median over several runs; each speed is also a ratio
against a baseline measured in the same run, so that noise between machines
cancels. Targets are printed beside the figures they apply to.
"""
import argparse
import os
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

FIXED_WAITS_S = 15.0  # the updater's waits after its two restart commands
MAIN_IMAGE = 3740624
SUB_IMAGE = 1032640

rows = []  # (group, what, figure, ratio, target, met)


def row(group, what, figure, ratio="", target="", met=None):
    rows.append((group, what, figure, ratio, target, "" if met is None else ("yes" if met else "NO")))


def start_sim(build, extra=()):
    proc = subprocess.Popen([os.path.join(build, "benchfw-sim"), "--port", "0", "--restart-time", "0", *extra],
                            stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        line = proc.stderr.readline()
        m = re.search(r"listening on .*:(\d+)", line)
        if m:
            return proc, int(m.group(1))
        if not line and proc.poll() is not None:
            break
    proc.kill()
    sys.exit("benchfw-sim did not start listening")


def stop_sim(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def watch_peak_rss(pid, result):
    """Keeps the process's own high-water mark (VmHWM, KiB) until it exits.

    rusage's ru_maxrss would also count the memory of the forking Python
    process before exec, so the kernel's per-image figure is read instead."""
    while True:
        try:
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        result[pid] = int(line.split()[1])
        except OSError:
            return
        time.sleep(0.02)


def run_updates(build, count):
    """Runs `count` updates at once, each against its own simulator.

    Returns (wall seconds of the batch, list of (cpu seconds, peak RSS KiB))."""
    sims = [start_sim(build) for _ in range(count)]
    try:
        start = time.monotonic()
        procs = [subprocess.Popen([os.path.join(build, "benchfw"), f"TCPIP0::127.0.0.1::{port}::SOCKET"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for _, port in sims]
        peaks = {}
        watchers = [threading.Thread(target=watch_peak_rss, args=(p.pid, peaks)) for p in procs]
        for w in watchers:
            w.start()
        usage = []
        for p in procs:
            # The zombie stays readable in /proc until it is reaped here.
            _, status, ru = os.wait4(p.pid, 0)
            p.returncode = os.waitstatus_to_exitcode(status)
            if p.returncode != 0:
                sys.exit(f"benchfw exited with {p.returncode}")
            usage.append((ru.ru_utime + ru.ru_stime, peaks.get(p.pid, 0)))
        for w in watchers:
            w.join()
        wall = time.monotonic() - start
    finally:
        for proc, _ in sims:
            stop_sim(proc)
    return wall, usage


def bench_transfer(build, runs):
    # Sender and peer share one core, so each figure is the CPU cost of the
    # path rather than luck in how the scheduler spreads two threads over
    # two cores; each run is itself a median of 101 transfers.
    samples = {}
    for _ in range(runs):
        out = subprocess.run(["taskset", "-c", "0", os.path.join(build, "transfer_bench"), "101"],
                             check=True, capture_output=True, text=True).stdout
        for line in out.splitlines():
            m = re.match(r"transfer\s+(.+?)\s+([\d.]+) ms\s+([\d.]+) MB/s\s+ratio ([\d.]+)", line)
            if m:
                samples.setdefault(m.group(1), []).append((float(m.group(2)), float(m.group(3)),
                                                           float(m.group(4))))
    targets = {"VISA raw socket": 0.90, "VXI-11 maxRecvSize 1048576": 0.80}
    for path, values in samples.items():
        ms = statistics.median(v[0] for v in values)
        mbps = statistics.median(v[1] for v in values)
        ratio = statistics.median(v[2] for v in values)
        target = targets.get(path)
        row("transfer", f"main image, {path}", f"{ms:.2f} ms, {mbps:.0f} MB/s", f"{ratio:.2f} of plain socket",
            f">= {target:.2f}" if target else ("baseline" if path.startswith("plain") else ""),
            (ratio >= target) if target else None)


def bench_update(build, runs):
    walls, cpus, rss = [], [], []
    for _ in range(runs):
        wall, usage = run_updates(build, 1)
        walls.append(wall)
        cpus.append(usage[0][0])
        rss.append(usage[0][1])
    beyond = statistics.median(walls) - FIXED_WAITS_S
    row("update", "wall time beyond the 15 s of fixed waits", f"{beyond * 1000:.0f} ms",
        f"{statistics.median(walls) / FIXED_WAITS_S:.3f} of the fixed waits", "<= 300 ms", beyond <= 0.3)
    cpu = statistics.median(cpus)
    row("update", "CPU time of benchfw (user + system)", f"{cpu * 1000:.1f} ms", "", "<= 50 ms", cpu <= 0.05)
    peak = statistics.median(rss)
    images_kib = (MAIN_IMAGE + SUB_IMAGE) / 1024
    row("update", "peak resident memory of benchfw", f"{peak / 1024:.1f} MiB",
        f"{peak / images_kib:.2f} of the two images", f"<= {(images_kib + 4096) / 1024:.1f} MiB",
        peak <= images_kib + 4096)
    return statistics.median(walls)


def bench_many(build, runs, one_wall):
    for count in (8, 32):
        walls = [run_updates(build, count)[0] for _ in range(runs)]
        ratio = statistics.median(walls) / one_wall
        target = "<= 1.20" if count == 32 else ""
        row("many", f"{count} updates at once", f"{statistics.median(walls):.2f} s",
            f"{ratio:.3f} of one update", target, ratio <= 1.2 if count == 32 else None)


def bench_build(source, runs):
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(["cmake", "-S", source, "-B", tmp, *generator, "-DCMAKE_BUILD_TYPE=Release",
                        "-DBENCHFW_BUILD_TESTS=OFF"], check=True, capture_output=True)
        subprocess.run(["cmake", "--build", tmp, "--target", "benchfw"], check=True, capture_output=True)
        payload_dir = os.path.join(tmp, "src", "payload")
        embed, relink = [], []
        for _ in range(runs):
            # The payload from clean: generate both images, assemble, link.
            for f in os.listdir(payload_dir):
                if f.endswith(".bin"):
                    os.remove(os.path.join(payload_dir, f))
            start = time.monotonic()
            subprocess.run(["cmake", "--build", tmp, "--target", "benchfw"], check=True, capture_output=True)
            embed.append(time.monotonic() - start)
            # Baseline: relinking benchfw with nothing else to do.
            os.remove(os.path.join(tmp, "benchfw"))
            start = time.monotonic()
            subprocess.run(["cmake", "--build", tmp, "--target", "benchfw"], check=True, capture_output=True)
            relink.append(time.monotonic() - start)
        e, r = statistics.median(embed), statistics.median(relink)
        row("build", "payload from clean (generate, assemble, link)", f"{e:.2f} s", f"{e / r:.1f} x a bare relink",
            "<= about 2 s", e <= 2.5)
        size = os.path.getsize(os.path.join(tmp, "benchfw"))
        extra = size - MAIN_IMAGE - SUB_IMAGE
        row("build", "benchfw size beyond the two images", f"{extra / 1024:.0f} KiB",
            f"{size / (MAIN_IMAGE + SUB_IMAGE):.3f} of the images", "", None)


def table():
    head = ("group", "what", "median", "ratio", "target", "met")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    lines = ["| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |",
             "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    for r in rows:
        lines.append("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--markdown")
    args = ap.parse_args()
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    bench_transfer(args.build, args.runs)
    one = bench_update(args.build, args.runs)
    bench_many(args.build, max(3, args.runs // 2), one)
    bench_build(source, args.runs)
    text = table()
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
