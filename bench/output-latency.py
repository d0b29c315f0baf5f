#!/usr/bin/env python3
# Latency through fastrak-host's outputs under eight devices: an OpenIGTLink client, an OSC receiver
# and an /events client, each in its own process, note when every record arrives; the figures are
# arrival minus the record's host_time (the same clock, this machine's), p50, p99 and max.
# Usage: bench/output-latency.py BUILD_DIR [SECONDS]   (loopback only)
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
            got.append(now - (sec - 2208988800 + frac / 2**32))
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
            got.append(now - ((stamp >> 32) + (stamp & 0xFFFFFFFF) / 2**32))
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
                got.append(now - json.loads(line[at + 6:])["host_time"])
    out.put(("/events", got))


def figures(values):
    values = sorted(values)
    pick = lambda q: values[min(len(values) - 1, int(q * len(values)))] * 1e3
    return "%d records: p50 %.2f ms, p99 %.2f ms, max %.2f ms" % (len(values), pick(0.5), pick(0.99), values[-1] * 1e3)


with tempfile.TemporaryDirectory() as folder:
    conf = os.path.join(folder, "eight.conf")
    with open(conf, "w") as f:
        for i in range(8):
            f.write("[device d%d]\nport x\n" % (i + 1))
    osc_port, igtl_port, web_port = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM), free_port(socket.SOCK_STREAM)
    until = time.time() + seconds + 30
    out = multiprocessing.Queue()
    readers = [multiprocessing.Process(target=osc, args=(osc_port, until, out))]
    readers[0].start()
    run = subprocess.Popen([host, "--config", conf, "--simulate", "--plain", "--duration", str(seconds),
                            "--sim-args", scene, "--osc", "osc.udp://127.0.0.1:%d" % osc_port,
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
    for line in open(os.path.join(folder, "host.out")).read().splitlines():
        if "fastrak-host: WARNING" in line or "fastrak-host: ERROR" in line or "stopped;" in line:
            print(line)
    for name, values in sorted(results.items()):
        # The first seconds hold the set-ups; a /events client starts at the record published next.
        print("%-12s %s" % (name, figures(values) if values else "nothing arrived"))
