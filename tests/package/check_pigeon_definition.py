#!/usr/bin/env python3
"""Compares the package's Pigeon definition with the plugin's schema table.

The plugin's C++ Pigeon surface is written by hand; its schema table (printed as
JSON by pigeon_schema_dump, and held to the codec by the plugin's unit tests)
says which custom types, fields, enum values and methods it speaks, in which
order. An app generates its Dart side from the Pigeon definition, so any
difference here is a wire incompatibility.

  check_pigeon_definition.py --schema-program pigeon_schema_dump API.dart
  check_pigeon_definition.py --schema-json schema.json API.dart

Exit 0 when they match; 1 with one line per difference; 2 when an input cannot
be read. Only the simple subset of Dart that Pigeon definitions use is parsed.
"""
import argparse
import json
import re
import subprocess
import sys


class ParseError(Exception):
    pass


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    # Line comments; Pigeon definitions hold no '//' inside string literals
    # except in URLs, which this definition does not use.
    return re.sub(r"//[^\n]*", "", text)


def matching_brace(text, open_at):
    depth = 0
    for i in range(open_at, len(text)):
        if text[i] == "{":
            depth += 1
        elif text[i] == "}":
            depth -= 1
            if depth == 0:
                return i
    raise ParseError("unbalanced braces")


def split_top(text, sep):
    """Splits at `sep` outside (), <>, {} and []."""
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "(<{[":
            depth += 1
        elif c in ")>}]":
            depth -= 1
        elif c == sep and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return [p.strip() for p in parts if p.strip()]


def norm_type(t):
    return re.sub(r"\s+", "", t)


FIELD = re.compile(r"^(?:final\s+)?(?P<type>[\w<>,?\s]+?)\s+(?P<name>\w+)$", re.S)
METHOD = re.compile(
    r"^(?P<ann>(?:@\w+(?:\([^)]*\))?\s*)*)(?P<ret>[\w<>,?\s]+?)\s+(?P<name>\w+)\s*\((?P<args>.*)\)$",
    re.S)
DECL = re.compile(r"\b(?:(abstract)\s+)?(enum|class)\s+(\w+)\s*\{")


def parse_dart(text):
    text = strip_comments(text)
    pkg = re.search(r"dartPackageName\s*:\s*['\"]([\w.]+)['\"]", text)
    out = {"package": pkg.group(1) if pkg else None, "enums": [], "classes": [], "apis": []}
    pos = 0
    while True:
        m = DECL.search(text, pos)
        if not m:
            break
        close = matching_brace(text, m.end() - 1)
        body = text[m.end():close]
        before = text[pos:m.start()]
        abstract, kind, name = m.group(1), m.group(2), m.group(3)
        if kind == "enum":
            out["enums"].append({"name": name, "values": split_top(body, ",")})
        elif abstract:
            api_kind = re.findall(r"@(HostApi|FlutterApi)\b", before)
            if not api_kind:
                raise ParseError(f"{name}: abstract class without @HostApi or @FlutterApi")
            methods = []
            for stmt in split_top(body, ";"):
                mm = METHOD.match(stmt)
                if not mm:
                    raise ParseError(f"{name}: cannot read method '{stmt}'")
                args = []
                for a in split_top(mm.group("args"), ","):
                    fm = FIELD.match(a)
                    if not fm:
                        raise ParseError(f"{name}.{mm.group('name')}: cannot read argument '{a}'")
                    args.append([fm.group("name"), norm_type(fm.group("type"))])
                methods.append({"name": mm.group("name"), "args": args,
                                "returns": norm_type(mm.group("ret")),
                                "async": "@async" in mm.group("ann")})
            out["apis"].append({"name": name, "kind": api_kind[-1], "methods": methods})
        else:
            fields = []
            for stmt in split_top(body, ";"):
                if "(" in stmt:
                    continue  # the constructor
                fm = FIELD.match(stmt)
                if not fm:
                    raise ParseError(f"{name}: cannot read field '{stmt}'")
                fields.append([fm.group("name"), norm_type(fm.group("type"))])
            out["classes"].append({"name": name, "fields": fields})
        pos = close + 1
    return out


def compare_lists(errors, what, dart, plugin):
    """Reports the first position where two ordered lists differ, and any length difference."""
    for i, (d, p) in enumerate(zip(dart, plugin)):
        if d != p:
            errors.append(f"{what}: entry {i} is {d} in the Pigeon definition, {p} in the plugin")
            return
    if len(dart) != len(plugin):
        errors.append(f"{what}: {len(dart)} entries in the Pigeon definition, {len(plugin)} in the plugin")


def compare(dart, schema):
    errors = []
    if dart["package"] != schema["package"]:
        errors.append(f"dartPackageName is {dart['package']}, the plugin's channels use {schema['package']}")

    # Custom type numbers follow declaration order: enums, then classes.
    compare_lists(errors, "enum order", [e["name"] for e in dart["enums"]],
                  [e["name"] for e in schema["enums"]])
    compare_lists(errors, "data class order", [c["name"] for c in dart["classes"]],
                  [c["name"] for c in schema["classes"]])

    plugin_enums = {e["name"]: e for e in schema["enums"]}
    for e in dart["enums"]:
        p = plugin_enums.get(e["name"])
        if p:
            by_number = [name for name, _ in sorted(p["values"], key=lambda v: v[1])]
            compare_lists(errors, f"enum {e['name']} values (by index)", e["values"], by_number)

    plugin_classes = {c["name"]: c for c in schema["classes"]}
    for c in dart["classes"]:
        p = plugin_classes.get(c["name"])
        if p:
            for name, type_ in c["fields"]:
                if type_.endswith("?"):
                    errors.append(f"class {c['name']}: field {name} is nullable; the plugin sends every field")
            compare_lists(errors, f"class {c['name']} fields", c["fields"], p["fields"])

    compare_lists(errors, "APIs", [(a["name"], a["kind"]) for a in dart["apis"]],
                  [(a["name"], a["kind"]) for a in schema["apis"]])
    plugin_apis = {a["name"]: a for a in schema["apis"]}
    for a in dart["apis"]:
        p = plugin_apis.get(a["name"])
        if not p:
            continue
        compare_lists(errors, f"{a['name']} methods", [m["name"] for m in a["methods"]],
                      [m["name"] for m in p["methods"]])
        plugin_methods = {m["name"]: m for m in p["methods"]}
        for m in a["methods"]:
            pm = plugin_methods.get(m["name"])
            if not pm:
                continue
            compare_lists(errors, f"{a['name']}.{m['name']} arguments", m["args"], pm["args"])
            if m["returns"] != pm["returns"]:
                errors.append(f"{a['name']}.{m['name']} returns {m['returns']} in the Pigeon "
                              f"definition, {pm['returns']} in the plugin")
            if a["kind"] == "HostApi" and not m["async"]:
                errors.append(f"{a['name']}.{m['name']} is not @async; the plugin answers "
                              "every host method through a callback")
    return errors


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    src = ap.add_mutually_exclusive_group(required=True)
    src.add_argument("--schema-program")
    src.add_argument("--schema-json")
    ap.add_argument("dart")
    args = ap.parse_args()
    try:
        if args.schema_program:
            schema = json.loads(subprocess.run([args.schema_program], check=True,
                                               capture_output=True, text=True).stdout)
        else:
            with open(args.schema_json, encoding="utf-8") as f:
                schema = json.load(f)
        with open(args.dart, encoding="utf-8") as f:
            dart = parse_dart(f.read())
    except (OSError, ValueError, subprocess.CalledProcessError, ParseError) as e:
        print(f"cannot compare: {e}")
        return 2
    errors = compare(dart, schema)
    for e in errors:
        print(e)
    counts = (f"{len(dart['enums'])} enums, {len(dart['classes'])} data classes, "
              f"{sum(len(a['methods']) for a in dart['apis'])} methods")
    if errors:
        print(f"Pigeon definition differs from the plugin ({counts})")
        return 1
    print(f"Pigeon definition matches the plugin: {counts}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
