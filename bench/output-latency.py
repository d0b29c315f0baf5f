#!/usr/bin/env python3
# Latency through fastrak-host's outputs under eight devices, each on its own fastrak-sim: an
# OpenIGTLink client, an OSC receiver and an /events client, each in its own process, note when every
# record arrives. Figures (p50, p99, max): the module's own, the emulator's last byte of a record
# (its log's t_end) to the record's host_time; each output's share, host_time to arrival; and end to
# end, last byte to arrival. The emulators' monotonic clock is joined to the wall clock by their
# offset read once. Every output stamps a record with its measured_time, which pairs it with the
# recording. Usage: bench/output-latency.py BUILD_DIR [SECONDS]   (loopback only)
import bisect
import json
import multiprocessing
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

build = sys.argv[1]
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
host = os.path.join(build, "tools/host/fastrak-host")
sim = os.path.join(build, "tools/sim/fastrak-sim")
scene = "--receivers 1,2 --scene 1=circle:x=12,y=-10,z=4,radius=5,period=4 --scene 2=circle:x=12,y=-10,z=4,radius=5,period=3"


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def osc(port, until, out):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", port))
    s.settimeout(0.5)
    got = []
    while time.time() < until:
        try:
            data = s.recv(2048)
        except socket.timeout:
            continue
        now = time.time()
        if data.startswith(b"#bundle\0"):
            sec, frac = struct.unpack(">II", data[8:16])
            got.append((sec - 2208988800 + frac / 2**32, now))
    out.put(("OSC (UDP)", got))


def igtl(port, until, out):
    for _ in range(100):
        try:
            s = socket.create_connection(("127.0.0.1", port))
            break
        except OSError:
            time.sleep(0.1)
    s.settimeout(0.5)
    buffer, got = b"", []
    while time.time() < until:
        try:
            data = s.recv(65536)
        except socket.timeout:
            continue
        if not data:
            break
        now = time.time()
        buffer += data
        while len(buffer) >= 58:
            size = struct.unpack(">Q", buffer[42:50])[0]
            if len(buffer) < 58 + size:
                break
            stamp = struct.unpack(">Q", buffer[34:42])[0]
            got.append(((stamp >> 32) + (stamp & 0xFFFFFFFF) / 2**32, now))
            buffer = buffer[58 + size:]
    out.put(("OpenIGTLink", got))


def events(port, until, out):
    for _ in range(100):
        try:
            s = socket.create_connection(("127.0.0.1", port))
            break
        except OSError:
            time.sleep(0.1)
    s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    s.settimeout(0.5)
    buffer, got = b"", []
    while time.time() < until:
        try:
            data = s.recv(65536)
        except socket.timeout:
            continue
        if not data:
            break
        now = time.time()
        buffer += data
        while b"\n" in buffer:
            line, buffer = buffer.split(b"\n", 1)
            at = line.find(b"data: ")
            if at >= 0:
                got.append((json.loads(line[at + 6:])["measured_time"], now))
    out.put(("/events", got))


def figures(values):
    values = sorted(values)
    pick = lambda q: values[min(len(values) - 1, int(q * len(values)))] * 1e3
    return "%5d: p50 %.2f, p99 %.2f, max %.2f ms" % (len(values), pick(0.5), pick(0.99), values[-1] * 1e3)


# Each device's records in the recording are its emulator's records in order (no faults in this
# scene); the elevation, which the host passes unchanged, checks the pairing.
def last_bytes(folder, recording, offset):
    sent = {}
    for i in range(8):
        with open(os.path.join(folder, "d%d.log" % (i + 1))) as f:
            sent["d%d" % (i + 1)] = [e for e in map(json.loads, f) if e["type"] == "record"]
    ends, own, taken, unpaired = {}, [], {name: 0 for name in sent}, 0  # measured_time: (host_time, end)
    with open(recording) as f:
        for record in map(json.loads, f):
            k = taken[record["device"]]
            taken[record["device"]] += 1
            mine = sent[record["device"]]
            if k < len(mine) and abs(mine[k]["pose"][4] - record["pose"][4]) < 0.01:
                # A record's outputs share its measured_time: the earliest last byte stands for them.
                end = mine[k]["t_end"] / 1e9 + offset
                before = ends.get(record["measured_time"], (record["host_time"], end))
                ends[record["measured_time"]] = (record["host_time"], min(end, before[1]))
                own.append(record["host_time"] - end)
            else:
                unpaired += 1
    return ends, own, unpaired


def end_of(stamps, ends, stamp):  # every output's stamp is measured_time to within a microsecond
    i = bisect.bisect_left(stamps, stamp)
    near = min(stamps[max(0, i - 1):i + 1], key=lambda s: abs(s - stamp), default=None)
    return ends[near] if near is not None and abs(near - stamp) < 2e-6 else None


with tempfile.TemporaryDirectory() as folder:
    conf = os.path.join(folder, "eight.conf")
    offset = time.time() - time.monotonic()  # the emulators' CLOCK_MONOTONIC to the wall clock
    sims = []
    with open(conf, "w") as f:
        for i in range(8):
            link = os.path.join(folder, "d%d.pty" % (i + 1))
            sims.append(subprocess.Popen([sim, "--link", link, "--log", os.path.join(folder, "d%d.log" % (i + 1))] +
                                         scene.split(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            f.write("[device d%d]\nport %s\n" % (i + 1, link))
    for i in range(8):
        while not os.path.exists(os.path.join(folder, "d%d.pty" % (i + 1))):
            time.sleep(0.05)
    osc_port, igtl_port, web_port = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM), free_port(socket.SOCK_STREAM)
    until = time.time() + seconds + 30
    out = multiprocessing.Queue()
    readers = [multiprocessing.Process(target=osc, args=(osc_port, until, out))]
    readers[0].start()
    run = subprocess.Popen([host, "--config", conf, "--plain", "--duration", str(seconds), "--osc", "osc.udp://127.0.0.1:%d" % osc_port,
                            "--igtl", "127.0.0.1:%d" % igtl_port, "--web", "127.0.0.1:%d" % web_port,
                            "--jsonl", os.path.join(folder, "run.jsonl")],
                           stdout=open(os.path.join(folder, "host.out"), "w"), stderr=subprocess.STDOUT)
    for reader in (igtl, events):
        readers.append(multiprocessing.Process(target=reader, args=(igtl_port if reader is igtl else web_port, until, out)))
        readers[-1].start()
    run.wait()
    results = dict(out.get() for _ in readers)
    for reader in readers:
        reader.join()
    for emulator in sims:
        emulator.terminate()
        emulator.wait()
    for line in open(os.path.join(folder, "host.out")).read().splitlines():
        if "fastrak-host: WARNING" in line or "fastrak-host: ERROR" in line or "stopped;" in line:
            print(line)
    ends, own, unpaired = last_bytes(folder, os.path.join(folder, "run.jsonl"), offset)
    stamps = sorted(ends)
    print("records paired with the emulators' last bytes: %d, unpaired %d" % (len(own), unpaired))
    print("%-12s %-40s %s" % ("module", "last byte to host_time", figures(own)))
    for name, got in sorted(results.items()):
        # The first seconds hold the set-ups; a /events client starts at the record published next.
        if not got:
            print("%-12s nothing arrived" % name)
            continue
        paired = [(now, e) for stamp, now in got for e in [end_of(stamps, ends, stamp)] if e is not None]
        share = [now - e[0] for now, e in paired]
        whole = [now - e[1] for now, e in paired]
        print("%-12s %-40s %s" % (name, "host_time to arrival " + (figures(share) if share else "none paired"),
                                  "end to end " + (figures(whole) if whole else "none paired")))
