#!/usr/bin/env python3
"""The stand-in under hostile load, on loopback: its peak memory under
compression bombs, and how many datagrams of a burst reach its sink.

    bench/standin_load.py build/bin/kiv [--bombs 20] [--datagram-bombs 40] [--burst 20000]

Starts `kiv serve` on free loopback ports with a sink in a temporary folder,
sends the bombs (request bodies and datagrams of about 16 KB that inflate to
16 MiB each), reads the stand-in's peak resident size (VmHWM, Linux), then
sends the burst of ordinary report datagrams as fast as one sender can and
counts the sink's lines. Prints one line per figure.
"""

import argparse
import http.client
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import zlib

BOMB_BYTES = 16 << 20  # what each bomb inflates to: the stand-in's body limit


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def wait_for_port(port, deadline):
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def lines_in(path):
    try:
        with open(path, "rb") as f:
            return sum(1 for _ in f)
    except FileNotFoundError:
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kiv")
    parser.add_argument("--bombs", type=int, default=20)
    parser.add_argument("--datagram-bombs", type=int, default=40)
    parser.add_argument("--burst", type=int, default=20000)
    args = parser.parse_args()

    bomb = zlib.compress(b" " * BOMB_BYTES, 9)
    record = zlib.compress(
        b'{"act":"LoginService","param":{"kiv_version":"1.5.2","user_name":"demo01",'
        b'"login_state":1}}')
    http_port = free_port(socket.SOCK_STREAM)
    udp_port = free_port(socket.SOCK_DGRAM)
    with tempfile.TemporaryDirectory() as folder:
        sink = os.path.join(folder, "sink.jsonl")
        console = open(os.path.join(folder, "console.txt"), "wb")
        serve = subprocess.Popen(
            [args.kiv, "serve", "--http-port", str(http_port), "--udp-port", str(udp_port),
             "--sink", sink], stdout=console, stderr=subprocess.DEVNULL)
        try:
            if not wait_for_port(http_port, time.time() + 10):
                sys.exit("the stand-in did not start")
            start_rss = peak_rss_kib(serve.pid)
            for _ in range(args.bombs):
                connection = http.client.HTTPConnection("127.0.0.1", http_port, timeout=60)
                connection.request("POST", "/verification", body=bomb,
                                   headers={"Content-Type": "application/octet-stream"})
                connection.getresponse().read()
                connection.close()
            after_http = peak_rss_kib(serve.pid)
            sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            for _ in range(args.datagram_bombs):
                sender.sendto(bomb, ("127.0.0.1", udp_port))
                time.sleep(0.05)
            deadline = time.time() + 180
            while lines_in(sink) < args.datagram_bombs and time.time() < deadline:
                time.sleep(0.1)
            after_udp = peak_rss_kib(serve.pid)
            print(f"bomb size: {len(bomb)} bytes, inflating to {BOMB_BYTES} bytes")
            print(f"peak RSS at start: {start_rss / 1024:.1f} MiB")
            print(f"peak RSS after {args.bombs} request bombs: {after_http / 1024:.1f} MiB")
            print(f"peak RSS after {args.datagram_bombs} datagram bombs: {after_udp / 1024:.1f} MiB")

            before = lines_in(sink)
            started = time.time()
            for _ in range(args.burst):
                sender.sendto(record, ("127.0.0.1", udp_port))
            sent_in = time.time() - started
            # Counted once the sink has stopped growing.
            last, stable_since = -1, time.time()
            while last - before < args.burst and time.time() - stable_since < 5:
                now = lines_in(sink)
                if now != last:
                    last, stable_since = now, time.time()
                time.sleep(0.1)
            arrived = last - before
            print(f"burst: {args.burst} datagrams sent in {sent_in:.2f} s, {arrived} reached the "
                  f"sink, {args.burst - arrived} lost ({100.0 * (args.burst - arrived) / args.burst:.1f} %)")
        finally:
            serve.send_signal(signal.SIGINT)
            try:
                serve.wait(timeout=10)
            except subprocess.TimeoutExpired:
                serve.kill()
            console.close()
            with open(os.path.join(folder, "console.txt"), "rb") as f:
                size = os.fstat(f.fileno()).st_size
                for line in f:
                    if line.startswith((b"summary:", b"udp: datagrams lost")):
                        print("stand-in:", line.decode("utf-8", "replace").rstrip())
            print(f"console output: {size} bytes")


if __name__ == "__main__":
    main()
