#!/usr/bin/env python3
"""What --tree and the filters cost over a plain listing: the CPU time
(user + system) quillon-devices takes per run with each set of arguments,
against the same source. CPU time rather than wall time, so that other work
on the machine counts less; the best of BATCHES batches of RUNS runs each.

Usage: bench/tree-cost.py QUILLON_DEVICES SOURCE [RUNS] [BATCHES]
  SOURCE: a device file, a folder whose sys/ is read, or "" for this computer
"""
import resource
import subprocess
import sys

CASES = ["", "--tree", "--problem", "--class=Net", "--tree --problem --class=USB",
         "--id=*VEN_8086*", "--driver=usbhid", "--tree --id=*VEN_8086* --driver=e1000e"]


def children_cpu():
    # getrusage counts in microseconds, where os.times() counts clock ticks
    # (10 ms: a fifth of a run of 20 over a small source).
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def cpu_ms(command, runs):
    before = children_cpu()
    for _ in range(runs):
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=False)
    return 1000 * (children_cpu() - before) / runs


def main():
    program, source = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    batches = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    base_command = [program] + (["--source=" + source] if source else [])
    results = {}
    # Batches interleave the cases, so that a busy moment hits them all alike.
    for _ in range(batches):
        for case in CASES:
            spent = cpu_ms(base_command + case.split(), runs)
            results[case] = min(results.get(case, spent), spent)
    base = results[""]
    for case in CASES:
        change = "" if not case else f"  {100 * (results[case] - base) / base:+.1f}%"
        print(f"{case or '(plain listing)':<40} {results[case]:7.2f} ms CPU{change}")


main()
