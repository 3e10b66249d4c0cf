#!/usr/bin/env python3
"""quillon-devices --watch over a device file: each rewrite of the file is
reported as the right change lines, valid against the schema, and nothing
else; SIGINT and SIGTERM end it with exit 0. --since reports the same.
With --rounds N it also times N rewrites (write to line read) and prints
the median and the largest delay.

Usage: watch-check.py QUILLON_DEVICES SCHEMA DEVICE_FILE [--rounds N]
"""
import json
import os
import selectors
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

try:
    import jsonschema
except ImportError:
    jsonschema = None


def write_atomically(path, document):
    with open(path + ".tmp", "w", encoding="utf-8") as file:
        json.dump(document, file, indent=1)
    os.rename(path + ".tmp", path)


class LineReader:
    """Lines of a process's output as they come, without Python's buffering
    hiding them from select()."""

    def __init__(self, process):
        self.fd = process.stdout.fileno()
        self.pending = b""

    def read(self, count, timeout):
        """Up to `count` JSON lines within `timeout` seconds."""
        lines = []
        selector = selectors.DefaultSelector()
        selector.register(self.fd, selectors.EVENT_READ)
        deadline = time.monotonic() + timeout
        while len(lines) < count:
            if b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                lines.append(json.loads(line))
                continue
            left = deadline - time.monotonic()
            if left <= 0 or not selector.select(left):
                break
            chunk = os.read(self.fd, 65536)
            if not chunk:
                break
            self.pending += chunk
        return lines


def main():
    program, schema_path, source = sys.argv[1:4]
    rounds = int(sys.argv[5]) if len(sys.argv) > 5 and sys.argv[4] == "--rounds" else 0
    validator = None
    if jsonschema is not None:
        with open(schema_path, encoding="utf-8") as file:
            validator = jsonschema.Draft202012Validator(json.load(file))
    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)

    folder = tempfile.mkdtemp(prefix="quillon-watch-")
    try:
        path = os.path.join(folder, "devices.json")
        snapshot = os.path.join(folder, "snapshot.json")
        shutil.copy(source, path)
        shutil.copy(source, snapshot)
        with open(path, encoding="utf-8") as file:
            document = json.load(file)
        members = document["devices"]
        first = next(m for m in members if m.get("present", True))
        for ending in (signal.SIGINT, signal.SIGTERM):
            process = subprocess.Popen([program, "--watch", "--json", "--source=" + path],
                                       stdout=subprocess.PIPE)
            reader = LineReader(process)
            time.sleep(0.3)
            # A disable, a new device, one gone, and a rename with a new driver.
            first["status"], first["problem"] = "0x01802400", 22
            write_atomically(path, document)
            lines = reader.read(1, 2)
            check(len(lines) == 1 and lines[0]["event"] == "changed"
                  and lines[0]["changes"]["problem"]["after"] == 22
                  and lines[0]["changes"]["problem"]["before"] == 0, f"disable: {lines}")
            first.pop("status"), first.pop("problem")
            free = 1 + max((m.get("devInst", i + 1) for i, m in enumerate(members)), default=0)
            members.append({"instanceId": "ROOT\\WATCHED\\0", "devInst": free})
            write_atomically(path, document)
            lines = reader.read(2, 2)
            events = sorted(line["event"] for line in lines)
            check(events == ["added", "changed"], f"enable and add: {lines}")
            members.pop()
            write_atomically(path, document)
            lines += reader.read(1, 2)
            check(lines[-1]["event"] == "removed", f"remove: {lines}")
            # Nothing else comes.
            check(reader.read(1, 0.5) == [], "a line with no change")
            if validator is not None:
                for line in lines:
                    for error in validator.iter_errors(line):
                        failures.append(f"schema: {error.message}")
            process.send_signal(ending)
            check(process.wait(5) == 0, f"exit after {ending.name}")

        # --since: the changes from the snapshot to now, exit 1; none, exit 0.
        first["friendlyName"] = "Renamed"
        write_atomically(path, document)
        since = subprocess.run([program, "--since", snapshot, "--source=" + path],
                               capture_output=True, text=True, check=False)
        check(since.returncode == 1 and since.stdout.startswith("changed ")
              and 'name ' in since.stdout and since.stdout.count("\n") == 1,
              f"--since: {since.returncode} {since.stdout!r}")
        same = subprocess.run([program, "--since", snapshot, "--source=" + snapshot],
                              capture_output=True, text=True, check=False)
        check(same.returncode == 0 and same.stdout == "", "--since without a change")

        if rounds:
            process = subprocess.Popen([program, "--watch", "--json", "--source=" + path],
                                       stdout=subprocess.PIPE)
            reader = LineReader(process)
            time.sleep(0.3)
            delays = []
            for n in range(rounds):
                first["problem"] = 22 if n % 2 == 0 else 0
                started = time.monotonic()
                write_atomically(path, document)
                if reader.read(1, 2):
                    delays.append((time.monotonic() - started) * 1000)
                time.sleep(0.05)
            process.send_signal(signal.SIGINT)
            process.wait(5)
            check(len(delays) == rounds, f"{rounds - len(delays)} rewrites not reported")
            print(f"{len(delays)} rewrites of {len(members)} devices: median "
                  f"{statistics.median(delays):.1f} ms, largest {max(delays):.1f} ms")
    finally:
        shutil.rmtree(folder)
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


sys.exit(main())
