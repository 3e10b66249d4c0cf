#!/usr/bin/env python3
"""Gives a device file from quillon-gen-devices a tree and ID lists, so that
--tree and --id have work to do: device i's parent is device (i-1)/8 (eight
siblings in a row), every fiftieth names one of seven parents the file does
not list; each device gets two hardware IDs and one compatible ID.

Usage: bench/add-parents.py IN.json OUT.json
"""
import json
import sys


def main():
    with open(sys.argv[1], encoding="utf-8") as source:
        document = json.load(source)
    devices = document["devices"]
    for i, device in enumerate(devices):
        if i > 0:
            device["parentId"] = (devices[(i - 1) // 8]["instanceId"] if i % 50
                                  else f"ROOT\\HIDDEN\\{i % 7}")
        bus = device["instanceId"].split("\\")[0]
        vendor = 0x8086 if i % 5 == 0 else 0x10EC
        device["hardwareIds"] = [f"{bus}\\VEN_{vendor:04X}&DEV_{i % 4096:04X}&REV_{i % 16:02X}",
                                 f"{bus}\\VEN_{vendor:04X}&DEV_{i % 4096:04X}"]
        device["compatibleIds"] = [f"{bus}\\CC_0200"]
    with open(sys.argv[2], "w", encoding="utf-8") as out:
        json.dump(document, out, indent=1)


main()
