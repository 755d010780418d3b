#!/usr/bin/env python3
"""Counts the test cases of one tier: GoogleTest reports in test-results/ plus
ctest entries that are not GoogleTest programs (scripted end-to-end tests).
Prints one line and exits non-zero when anything failed or did not run."""
import glob
import os
import sys
import xml.etree.ElementTree as ET

tier, build_dir = sys.argv[1], sys.argv[2]
passed = failed = skipped = 0
missing = []

ctest_junit = os.path.join(build_dir, "ctest-junit.xml")
ctest_cases = {}
if os.path.exists(ctest_junit):
    for case in ET.parse(ctest_junit).getroot().iter("testcase"):
        if case.get("status") == "notrun" or case.find("skipped") is not None:
            ctest_cases[case.get("name")] = "skipped"  # said why on its own output
            continue
        ok = case.get("status") == "run" and case.find("failure") is None
        ctest_cases[case.get("name")] = ok

reports = {}
for path in glob.glob(os.path.join(build_dir, "test-results", "*.xml")):
    name = os.path.splitext(os.path.basename(path))[0]
    try:
        reports[name] = ET.parse(path).getroot()
    except ET.ParseError:
        reports[name] = None

for name, ok in ctest_cases.items():
    if ok == "skipped":
        skipped += 1
        continue
    root = reports.get(name)
    if root is None:
        # Not a GoogleTest program, or one that died before writing its report.
        if ok:
            passed += 1
        else:
            failed += 1
            missing.append(name)
        continue
    if not any(True for _ in root.iter("testcase")):
        failed += 1  # a filter that matched nothing: the entry tested nothing
        missing.append(name)
        continue
    for case in root.iter("testcase"):
        if case.get("result") == "skipped" or case.find("skipped") is not None:
            skipped += 1
        elif case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        else:
            passed += 1
    if not ok and not any(c.find("failure") is not None for c in root.iter("testcase")):
        failed += 1  # the program failed outside any test case (crash, leak report)
        missing.append(name)

line = f"{tier}: {passed} passed, {failed} failed"
if skipped:
    line += f", {skipped} skipped"
print(line)
if missing:
    print(f"{tier}: failed programs: {' '.join(sorted(missing))}")
sys.exit(1 if failed or not ctest_cases else 0)
