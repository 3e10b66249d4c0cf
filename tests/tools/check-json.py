#!/usr/bin/env python3
"""Runs a command and checks its JSON output against quillon-devices' schema:
one document (an array), or with --lines one object a line.

Usage: check-json.py SCHEMA [--lines] [--exit N] -- COMMAND [ARGUMENT...]
Exit status: 0 valid, 1 invalid or the command failed, 77 no validator here.
"""
import json
import subprocess
import sys

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed", file=sys.stderr)
    sys.exit(77)


def main():
    args = sys.argv[1:]
    schema_path = args.pop(0)
    lines = False
    expected_exit = 0
    while args[0] != "--":
        option = args.pop(0)
        if option == "--lines":
            lines = True
        elif option == "--exit":
            expected_exit = int(args.pop(0))
    command = args[1:]
    with open(schema_path, encoding="utf-8") as file:
        schema = json.load(file)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    run = subprocess.run(command, capture_output=True, check=False)
    if run.returncode != expected_exit:
        print(f"exit {run.returncode}, expected {expected_exit}: {run.stderr.decode()}")
        return 1
    text = run.stdout.decode("utf-8")
    documents = [json.loads(line) for line in text.splitlines()] if lines else [json.loads(text)]
    if lines and not documents:
        print("no lines")
        return 1
    failed = 0
    for document in documents:
        for error in validator.iter_errors(document):
            print(f"{list(error.absolute_path)}: {error.message}")
            failed += 1
    print(f"{len(documents)} document(s) checked, {failed} error(s)")
    return 1 if failed else 0


sys.exit(main())
