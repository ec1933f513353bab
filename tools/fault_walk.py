#!/usr/bin/env python3
"""The full walk over injected failures: every k of every kind.

Runs the walk test of tests/faults (fault_tests, built with the tests) once per kind with
QENDIX_FAULT_WALK=full, so that the k-th call of the kind fails for every k from 1 to the number
of such calls in a clean `qendix auto` run, and each run is checked (see
tests/faults/fault_scenario.h). Then the cases of a full disk during each step, of folders the user
may not write and of the failures the walk found. Prints a table of the failures injected per kind
and step and of the findings; exits 1 when any run broke a rule.

    tools/fault_walk.py [--build build] [--jobs 2] [--kinds open,read,...] [--trace]

--trace logs the callers of each failed call (QENDIX_FAULT_TRACE) and resolves them with
addr2line, for finding where a finding came from.
"""

import argparse
import concurrent.futures
import os
import re
import subprocess
import sys

KINDS = ["open", "read", "write", "fsync", "rename", "unlink", "mkdir", "alloc", "http",
         "asas-open", "asas-read", "asas-write", "asas-fsync", "asas-rename"]
CASES = ["FaultFindingsTest.*", "FaultDiskFullTest.*", "FaultReadOnlyTest.*"]


def run(binary, test_filter, trace):
    env = dict(os.environ, QENDIX_FAULT_WALK="full")
    if trace:
        env["QENDIX_FAULT_TRACE"] = "1"
    result = subprocess.run([binary, "--gtest_filter=" + test_filter], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return test_filter, result.returncode, result.stdout


def resolve(lines, libdir):
    """Replaces "libqendix.so.2(+0x1234)" frames by function and line."""
    out = []
    for line in lines.splitlines():
        m = re.search(r"(\S*/(lib[\w.]+\.so[\w.]*))\(\+(0x[0-9a-f]+)\)", line)
        if m:
            lib = os.path.join(libdir, m.group(2))
            r = subprocess.run(["addr2line", "-f", "-C", "-i", "-p", "-e", lib, m.group(3)],
                               stdout=subprocess.PIPE, text=True)
            line = "    at " + r.stdout.strip().replace("\n", "\n       ")
        out.append(line)
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="the build folder (default build)")
    parser.add_argument("--jobs", type=int, default=2, help="walks run at once (default 2)")
    parser.add_argument("--kinds", help="comma-separated kinds (default all)")
    parser.add_argument("--trace", action="store_true", help="resolve the callers of findings")
    options = parser.parse_args()
    binary = os.path.join(options.build, "bin", "fault_tests")
    if not os.access(binary, os.X_OK):
        sys.exit(binary + " is missing: build the tests first (cmake --build build)")
    kinds = options.kinds.split(",") if options.kinds else KINDS
    filters = ["Kinds/FaultWalkTest.*/" + k.replace("-", "_") for k in kinds] + CASES

    rows, failures = [], []
    with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
        for test_filter, status, output in pool.map(
                lambda f: run(binary, f, options.trace), filters):
            for m in re.finditer(r"^walk (\S+) calls=(\d+) tried=(\d+) fired=(\d+) "
                                 r"findings=(\d+) steps:(.*)$", output, re.M):
                rows.append(m.groups())
            if status != 0:
                text = output if not options.trace else resolve(
                    output, os.path.join(options.build, "lib"))
                failures.append((test_filter, text))
            print("%-40s %s" % (test_filter, "ok" if status == 0 else "FINDINGS"), flush=True)

    print("\n| kind | calls in a clean run | failures injected | per step | findings |")
    print("|---|---|---|---|---|")
    for kind, calls, tried, fired, findings, steps in rows:
        print("| %s | %s | %s of %s | %s | %s |" % (kind, calls, fired, tried, steps.strip(),
                                                 findings))
    for test_filter, text in failures:
        print("\n== " + test_filter)
        print("\n".join(l for l in text.splitlines() if not l.startswith("[")))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
