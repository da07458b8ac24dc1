#!/usr/bin/env python3
"""Print speed of `qxhost print` against the CUPS usb backend on the same simulated printer-class device.

    scripts/cups-compare.py --build build/bench --out cups.json

For each speed (full speed with a 4 MiB job, high speed with a 64 MiB job) sets up a private folder
with a simulated bus holding one printer-class device, then runs, RUNS times each, the CUPS usb
backend (/usr/lib/cups/backend/usb, as root, DEVICE_URI taken from its own device listing, the job
file as sixth argument) and `qxhost print` on a port bound to that device. Measured: the whole
process (wall clock) and the write alone (first to last job byte arriving in the device's spool file,
polled every millisecond). Also written: the protocol's floor for the job, the wire time plus one busy
poll, one write start and one count report per 65,535-byte chunk at the preset's control latency.
Writes {"skipped": reason} when the backend is missing or not run as root.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import tempfile
import threading
import time

from simenv import sim_env

BACKEND = "/usr/lib/cups/backend/usb"
SPEEDS = [
    # name, preset, job MiB, bulk bytes/s, control latency s
    ("full", "full-speed", 4, 1216000, 0.001),
    ("high", "high-speed", 64, 53248000, 0.000125),
]
CHUNK = 65535
CONTROLS_PER_CHUNK = 3  # busy poll, write start, count report

BUS = """spool = {tmp}/spool
timing = {preset}
[device label]
kind = prt
serial = P0001
manufacturer = Korvo
product_name = Label Printer
"""


class SpoolWatch:
    """Times the first and the last of `want` new bytes arriving in a spool file."""

    def __init__(self, path, want):
        self.path, self.want = path, want
        self.base = os.path.getsize(path) if os.path.exists(path) else 0
        self.first = self.last = None
        self.stop = False
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while not self.stop:
            size = os.path.getsize(self.path) if os.path.exists(self.path) else 0
            now = time.perf_counter()
            if self.first is None and size > self.base:
                self.first = now
            if size - self.base >= self.want:
                self.last = now
                return
            time.sleep(0.001)

    def result(self):
        self.stop = True
        self.thread.join()
        if self.first is None or self.last is None:
            raise SystemExit("%s: the job did not arrive" % self.path)
        return self.last - self.first


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    if not os.path.exists(BACKEND):
        reason = "the CUPS usb backend (%s, Debian package cups) is not installed" % BACKEND
    elif os.geteuid() != 0 or not os.access(BACKEND, os.X_OK):
        reason = "the CUPS usb backend (%s) runs only as root" % BACKEND
    else:
        reason = None
    if reason:
        with open(args.out, "w") as f:
            json.dump({"skipped": reason}, f)
        print("skipped: " + reason)
        return
    build = os.path.abspath(args.build)
    results = {}
    for name, preset, mib, rate, latency in SPEEDS:
        tmp = tempfile.mkdtemp(prefix="taliun-cups.")
        try:
            results[name] = compare(build, tmp, preset, mib * 1024 * 1024, rate, latency, args.runs)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        r = results[name]
        print("%s speed, %d MiB: CUPS %.3f s whole (%.3f s writing); qxhost %.3f s writing, %.3f s whole; "
              "protocol floor %.3f s" % (name, mib, r["cups_whole"], r["cups_write"], r["qxhost_write"],
                                         r["qxhost_whole"], r["floor"]), flush=True)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


def compare(build, tmp, preset, size, rate, latency, runs):
    env = sim_env(build, tmp)
    with open(tmp + "/bus.conf", "w") as f:
        f.write(BUS.format(tmp=tmp, preset=preset))
    with open(tmp + "/properties", "w") as f:
        f.write('/QX/Label/PortType = "USB"\n/QX/Label/PortName = ""\n')
    job = tmp + "/job.bin"
    with open(job, "wb") as f:
        f.write(os.urandom(size))
    spool = tmp + "/spool/label/printer.out"

    listing = subprocess.run([BACKEND], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode()
    uri = next((w for line in listing.splitlines() for w in line.split() if w.startswith("usb://")), None)
    if not uri:
        raise SystemExit("the CUPS usb backend lists no device:\n" + listing)
    qxhost = os.path.join(build, "tools", "qxhost")
    p = subprocess.run([qxhost, "ports"], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if p.returncode != 0 or "yes" not in p.stdout.decode():
        raise SystemExit("qxhost ports did not bind the device:\n" + p.stdout.decode())

    def timed(argv, extra):
        e = dict(env)
        e.update(extra)
        watch = SpoolWatch(spool, size)
        t0 = time.perf_counter()
        p = subprocess.run(argv, env=e, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        whole = time.perf_counter() - t0
        if p.returncode != 0:
            watch.stop = True
            raise SystemExit("%s failed (%d): %s" % (argv[0], p.returncode, p.stderr.decode()[-2000:]))
        write = watch.result()
        with open(spool, "rb") as f:
            f.seek(-size, os.SEEK_END)
            with open(job, "rb") as g:
                if f.read() != g.read():
                    raise SystemExit("%s: the device did not receive the job intact" % argv[0])
        return whole, write

    cups = [timed([BACKEND, "1", "user", "job", "1", "", job], {"DEVICE_URI": uri}) for _ in range(runs)]
    qx = [timed([qxhost, "print", "Label", job, "--no-progress"], {}) for _ in range(runs)]
    chunks = (size + CHUNK - 1) // CHUNK
    wire = size / rate
    return {
        "bytes": size, "runs": runs, "uri": uri,
        "cups_whole": statistics.median(c[0] for c in cups),
        "cups_write": statistics.median(c[1] for c in cups),
        "qxhost_whole": statistics.median(q[0] for q in qx),
        "qxhost_write": statistics.median(q[1] for q in qx),
        "wire": wire,
        "floor": wire + chunks * CONTROLS_PER_CHUNK * latency,
    }


if __name__ == "__main__":
    main()
