#!/usr/bin/env python3
"""Wall-clock times of whole qxhost commands on the simulated bus, as a user runs them.

    scripts/command-times.py --build build/bench --runs 200 --out times.json

Sets up a private folder with the log daemon, a simulated bus (full-speed timing) with three of the
maker's devices (receipt printer, printer with customer display, printer-class device) and a property
tree whose ports are bound to them by one warm-up `qxhost ports`; then runs each command RUNS times
and writes median, 99th percentile and maximum per command (seconds) as JSON. Nothing outside the
folder is touched. `--build` may also name a folder with the layout of a build tree (qxhost and
taliunlogd in tools/, libTaliunqxusb.so at the top, the simulator in sim/), for example a copy of an
older build for a before/after comparison.
"""
import argparse
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from simenv import sim_env

BUS = """spool = {tmp}/spool
timing = full-speed
[device receipt]
kind = qx
serial = R0001
model = QX-K40V
[device counter]
kind = jv
endpoints = 4
serial = D0001
model = QX-D50
[device label]
kind = prt
serial = P0001
"""

TREE = """/QX/Receipt/PortType = "USB"
/QX/Receipt/PortName = ""
/QX/Receipt/ModelName = "QX-K40V"
"""

# A short receipt: initialise, a few lines, feed and cut.
RECEIPT = (b"\x1b@\x1ba\x01\x1bE\x01KORVO MARKET\n\x1bE\x00\x1ba\x00"
           b"Coffee              3.20\nBagel               2.10\n"
           b"------------------------\nTOTAL               5.30\n\n\n\x1dV\x01")


def percentile(values, p):
    ordered = sorted(values)
    rank = max(0, min(len(ordered) - 1, int(round(p / 100.0 * len(ordered) + 0.5)) - 1))
    return ordered[rank]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--runs", type=int, default=200)
    ap.add_argument("--out", required=True)
    ap.add_argument("--only", default="", help="comma-separated command names")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    qxhost = os.path.join(build, "tools", "qxhost")
    tmp = tempfile.mkdtemp(prefix="taliun-cmdtimes.")
    env = sim_env(build, tmp)
    with open(tmp + "/bus.conf", "w") as f:
        f.write(BUS.format(tmp=tmp))
    with open(tmp + "/properties", "w") as f:
        f.write(TREE)
    with open(tmp + "/receipt.bin", "wb") as f:
        f.write(RECEIPT)
    daemon = subprocess.Popen([os.path.join(build, "tools", "taliunlogd"), "--foreground", "--socket",
                               tmp + "/log.sock", "--output", tmp + "/taliun.log"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        for _ in range(200):
            if os.path.exists(tmp + "/log.sock"):
                break
            time.sleep(0.02)

        def run(argv):
            t0 = time.perf_counter()
            p = subprocess.run([qxhost] + argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            t1 = time.perf_counter()
            if p.returncode != 0:
                raise SystemExit("qxhost %s failed (%d): %s%s" % (" ".join(argv), p.returncode,
                                                                  p.stdout.decode(), p.stderr.decode()))
            return t1 - t0, p.stdout.decode()

        # Warm-up: binds the receipt printer and has the host create ports for the other two.
        _, listing = run(["ports"])
        with open(tmp + "/properties") as f:
            bound = [l for l in f if "/PortName = \"USB#" in l]
        if len(bound) != 3:
            raise SystemExit("warm-up bound %d of 3 devices:\n%s" % (len(bound), listing))

        commands = [
            ("version", ["version"]),
            ("ports", ["ports"]),
            ("print", ["print", "Receipt", tmp + "/receipt.bin"]),
            ("ioctl", ["ioctl", "Receipt", "PH_USB_GET_POWER_STATE"]),
            ("ui", ["ui", "QX/Receipt"]),
        ]
        only = set(x for x in args.only.split(",") if x)
        results = {}
        for name, argv in commands:
            if only and name not in only:
                continue
            times = [run(argv)[0] for _ in range(args.runs)]
            results[name] = {"runs": len(times), "median": statistics.median(times), "argv": argv[:2],
                             "p99": percentile(times, 99), "max": max(times), "min": min(times)}
            print("%-8s median %.3f s  p99 %.3f s  max %.3f s  (%d runs)" % (
                name, results[name]["median"], results[name]["p99"], results[name]["max"], len(times)), flush=True)
        results["receipt_bytes"] = len(RECEIPT)
        with open(args.out, "w") as f:
            json.dump(results, f, indent=1)
    finally:
        daemon.send_signal(signal.SIGTERM)
        try:
            daemon.wait(5)
        except subprocess.TimeoutExpired:
            daemon.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
