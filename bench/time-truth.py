#!/usr/bin/env python3
# How true measured_time is: emulators (four stations each, in motion) log when each solution was
# measured (solution_time); fastrak-host records measured_time and host_time. Each recorded pose is
# matched to the emulator record that carried it, and the errors against solution_time are given
# as p50 of measured_time - solution_time and p99 and max of its size, with host_time - solution_time beside it;
# "after 1 s" leaves out each device's first second, while the estimate locks on. Set-ups take
# their turns, so each run lasts SECONDS plus 3 s a device.
# Usage: bench/time-truth.py BUILD_DIR [SECONDS] [BAUD,...] [USB_MS,...] [DEVICES,...]
#   e.g. bench/time-truth.py build/default 20 115200,9600 16,1,0 1,8   (0: no adapter)
import bisect
import json
import os
import struct
import subprocess
import sys
import tempfile
import time

build = sys.argv[1]
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
bauds = [int(b) for b in (sys.argv[3] if len(sys.argv) > 3 else "115200,9600").split(",")]
usbs = [float(u) for u in (sys.argv[4] if len(sys.argv) > 4 else "16,1,0").split(",")]
counts = [int(n) for n in (sys.argv[5] if len(sys.argv) > 5 else "1,8").split(",")]
host = os.path.join(build, "tools/host/fastrak-host")
sim = os.path.join(build, "tools/sim/fastrak-sim")


def sent_records(log):
    """station -> sorted [(solution_time, pose in feet and degrees)] from an emulator's log."""
    out = {}
    for line in open(log):
        e = json.loads(line)
        if e.get("type") != "record" or len(e.get("hex", "")) < 58:
            continue
        raw = bytes.fromhex(e["hex"])
        pose = struct.unpack("<6f", raw[3:27])
        pose = [v / 12 if i < 3 else v for i, v in enumerate(pose)]
        out.setdefault(e["station"], []).append((e["solution_time"], pose))
    for records in out.values():
        records.sort(key=lambda r: r[0])
    return out


def figures(values):
    """p50 of the errors, p99 and max of their size, in ms."""
    signed, size = sorted(values), sorted(abs(v) for v in values)
    pick = lambda v, q: v[min(len(v) - 1, int(q * len(v)))] * 1e3
    return "p50 %6.2f  p99 %6.2f  max %6.2f ms" % (pick(signed, 0.5), pick(size, 0.99), size[-1] * 1e3)


def run(baud, usb, devices):
    with tempfile.TemporaryDirectory() as folder:
        conf = os.path.join(folder, "lab.conf")
        sims = []
        with open(conf, "w") as f:
            for d in range(devices):
                link = os.path.join(folder, "d%d.pty" % d)
                args = [sim, "--link", link, "--log", os.path.join(folder, "d%d.log" % d), "--seed", str(d + 1),
                        "--scene", "1=circle:radius=5,period=4", "--scene", "2=circle:radius=6,period=3",
                        "--scene", "3=walk:speed=4", "--scene", "4=circle:radius=4,period=5"]
                if usb > 0:
                    args += ["--usb", str(usb)]
                sims.append(subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                f.write("[device d%d]\nport %s\nbaud %d\nsensors 1 1 1 1\ncavecoord no\n" % (d, link, baud))
        for d in range(devices):
            while not os.path.exists(os.path.join(folder, "d%d.pty" % d)):
                time.sleep(0.05)
        jsonl = os.path.join(folder, "run.jsonl")
        try:
            subprocess.run([host, "--config", conf, "--plain", "--duration", str(seconds + 3 * devices), "--jsonl", jsonl],
                           stdout=open(os.path.join(folder, "host.out"), "w"), stderr=subprocess.STDOUT)
        finally:
            for s in sims:
                s.terminate()
                s.wait()
        for line in open(os.path.join(folder, "host.out")):
            if "fastrak-host: WARNING" in line or "fastrak-host: ERROR" in line or "ERROR" in line:
                print("  " + line.rstrip())
        sent = [sent_records(os.path.join(folder, "d%d.log" % d)) for d in range(devices)]
        measured, arrival, unmatched, settled = [], [], 0, []
        start = {}
        for line in open(jsonl):
            r = json.loads(line)
            d = int(r["device"][1:])
            records = sent[d].get((r["output"] - 1) % 4 + 1, [])
            times = [t for t, _ in records]
            at = bisect.bisect_left(times, r["host_time"] - 1.0)
            match = None
            while at < len(records) and records[at][0] <= r["host_time"]:
                if all(abs(a - b) < 2e-5 for a, b in zip(records[at][1], r["pose"])):
                    match = records[at][0]
                at += 1
            if match is None:
                unmatched += 1
                continue
            measured.append(r["measured_time"] - match)
            if r["host_time"] - start.setdefault(d, r["host_time"]) >= 1.0:
                settled.append(r["measured_time"] - match)
            arrival.append(r["host_time"] - match)
        label = "%6d baud, %-6s, %d device%s" % (baud, ("usb %g" % usb) if usb > 0 else "no usb", devices,
                                                 "s" if devices > 1 else " ")
        print("%s: %6d records (%d unmatched)  measured_time %s | after 1 s %s | host_time %s" %
              (label, len(measured), unmatched, figures(measured), figures(settled), figures(arrival)), flush=True)
        if os.environ.get("TIME_TRUTH_DUMP"):
            with open(os.environ["TIME_TRUTH_DUMP"], "w") as dump:
                dump.writelines("%.6f\n" % e for e in measured)


for baud in bauds:
    for usb in usbs:
        for devices in counts:
            run(baud, usb, devices)
