#!/usr/bin/env python3
"""The Pigeon-definition check passes the package's definition and fails
mutated copies of it, each for the difference it carries."""
import argparse
import os
import subprocess
import sys
import tempfile

# (what the copy changes, text replaced, replacement, a word the report must name)
MUTATIONS = [
    ("two fields swapped", "  int rxBytes;\n  int txBytes;\n", "  int txBytes;\n  int rxBytes;\n",
     "TovraWireGuardStatus fields"),
    ("a method renamed", "stopWireGuard();", "stopWireguard();", "stopWireGuard"),
    ("an argument renamed", "String username, String password", "String user, String password",
     "startOpenVpn arguments"),
    ("two enum values swapped", "  yes,\n  no,\n", "  no,\n  yes,\n", "TovraTriState"),
    ("a field made nullable", "  int attemptId;", "  int? attemptId;", "nullable"),
    ("a result type changed", "TovraWireGuardStatus wireGuardStatus();",
     "TovraOpenVpnStatus wireGuardStatus();", "wireGuardStatus returns"),
    ("@async dropped", "@async\n  void startEvents();", "void startEvents();", "not @async"),
    ("a class renamed", "class TovraNativeEvent {", "class TovraNativeEventX {",
     "data class order"),
    ("another package name", "dartPackageName: 'tovra_windows_vpn'", "dartPackageName: 'other'",
     "dartPackageName"),
]


def run(check, schema_program, dart_path):
    p = subprocess.run([sys.executable, check, "--schema-program", schema_program, dart_path],
                       capture_output=True, text=True)
    return p.returncode, p.stdout + p.stderr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--schema-program", required=True)
    ap.add_argument("--check", required=True)
    ap.add_argument("--dart", required=True)
    a = ap.parse_args()
    with open(a.dart, encoding="utf-8") as f:
        original = f.read()

    failures = 0
    code, out = run(a.check, a.schema_program, a.dart)
    print(f"unchanged definition: exit {code}: {out.strip()}")
    if code != 0:
        failures += 1

    with tempfile.TemporaryDirectory() as tmp:
        for what, old, new, named in MUTATIONS:
            if original.count(old) != 1:
                print(f"FAIL {what}: the text to change occurs {original.count(old)} times")
                failures += 1
                continue
            path = os.path.join(tmp, "api.dart")
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(old, new))
            code, out = run(a.check, a.schema_program, path)
            ok = code == 1 and named in out
            print(f"{'ok  ' if ok else 'FAIL'} {what}: exit {code}: {out.strip().splitlines()[0]}")
            if not ok:
                print(out)
                failures += 1
    print(f"{len(MUTATIONS) + 1 - failures} of {len(MUTATIONS) + 1} cases as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
