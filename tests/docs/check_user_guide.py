#!/usr/bin/env python3
"""The user guide names every INI key the module reads and every URL its
server answers, read from the code itself: a key added to the key table, or
a route added to the request parser, without a row in the guide's tables
fails this check.

usage: check_user_guide.py [--source DIR] [--guide FILE]
           [--extra-key NAME ...] [--extra-route PATH ...]

--extra-key and --extra-route pretend that the code has one more, as a
newly added key or route would: the check must then fail (its own test).
"""

import argparse
import glob
import os
import re
import sys

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The guide's two reference tables, by their headings' titles.
KEY_TABLE_TITLE = "Every setting"
URL_TABLE_TITLE = "Every address the server answers"


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def module_sources(source):
    return sorted(glob.glob(os.path.join(source, "module", "**", "*.cpp"), recursive=True) +
                  glob.glob(os.path.join(source, "module", "**", "*.h"), recursive=True))


def keys_in_code(source):
    """The section's own three keys (constants named kKey...) and the
    optional keys' table (kKeyNames), wherever under module/ they live."""
    own, table = [], []
    for path in module_sources(source):
        text = read(path)
        own += re.findall(r'constexpr\s+wchar_t\s+kKey\w+\[\]\s*=\s*L"(\w+)"', text)
        names = re.search(r"kKeyNames\[[^\]]*\]\s*=\s*\{(.*?)\};", text, re.S)
        if names:
            table += re.findall(r'L"(\w+)"', names.group(1))
    # Found nothing: the code moved or was renamed, and this check must follow it.
    if not own or not table:
        sys.exit(f"check_user_guide: the section's own keys (kKey...) or the key table (kKeyNames) "
                 f"not found under {source}/module")
    return own + table


def routes_in_code(source):
    """The request parser's paths: exact ones ("/epg.xml") and numbered ones
    ("/program/" <n> ".ts"), as ("/program/", ".ts")."""
    exact, numbered = [], []
    for path in sorted(glob.glob(os.path.join(source, "stream", "**", "*.cpp"), recursive=True)) + \
            module_sources(source):
        text = read(path)
        exact += re.findall(r'Equals\(\s*path\s*,\s*pathLength\s*,\s*"(/[^"]*)"\s*\)', text)
        # The parser's table of fixed paths: {"/discover.json", EHttpRoute::…}.
        exact += re.findall(r'\{\s*"(/[^"]*)"\s*,\s*EHttpRoute::', text)
        numbered += re.findall(r'ReadNumberedPath\(\s*path\s*,\s*pathLength\s*,\s*"(/[^"]*)"\s*,\s*"([^"]*)"', text)
    if not exact:
        sys.exit(f"check_user_guide: no routes found under {source}/stream or {source}/module")
    return exact, numbered


def section(guide, title):
    """The lines under the heading whose title contains `title`, up to the
    next heading (a line of text underlined with - or =)."""
    lines = guide.splitlines()
    heading = lambda i: i + 1 < len(lines) and lines[i].strip() and re.fullmatch(r"[-=]{3,}", lines[i + 1].strip())
    starts = [i for i in range(len(lines)) if heading(i) and title in lines[i]]
    if not starts:
        return None
    end = next((i for i in range(starts[0] + 2, len(lines)) if heading(i)), len(lines))
    return lines[starts[0] + 2:end]


def first_words(lines):
    """A table's rows: lines indented by two blanks (continuations by more)."""
    return [line.split()[0] for line in lines if re.match(r"  \S", line)]


def series(keys):
    """Keys that differ only in a trailing number (Output2 ... Output16) as
    one entry (stem, first, last); the rest alone."""
    groups = {}
    for key in keys:
        m = re.fullmatch(r"(\D+)(\d+)", key)
        if m:
            groups.setdefault(m.group(1), []).append(key)
    out = [k for k in keys if not (re.fullmatch(r"(\D+)(\d+)", k) and len(groups[re.match(r"\D+", k).group(0)]) > 1)]
    for stem, members in groups.items():
        if len(members) > 1:
            numbers = sorted(int(k[len(stem):]) for k in members)
            out.append((stem, f"{stem}{numbers[0]}", f"{stem}{numbers[-1]}"))
        else:
            out.append(members[0])
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", default=SOURCE_DIR)
    ap.add_argument("--guide", default=None)
    ap.add_argument("--extra-key", action="append", default=[])
    ap.add_argument("--extra-route", action="append", default=[])
    args = ap.parse_args()
    guide_path = args.guide or os.path.join(args.source, "release", "UserGuide.txt.in")
    guide = read(guide_path)
    failures = []

    keys = keys_in_code(args.source) + args.extra_key
    table = section(guide, KEY_TABLE_TITLE)
    if table is None:
        failures.append(f'no section "{KEY_TABLE_TITLE}" in {guide_path}')
    else:
        rows = first_words(table)
        text = "\n".join(table)
        for key in series(keys):
            if isinstance(key, tuple):
                stem, first, last = key
                if first not in rows or last not in text:
                    failures.append(f"the key table has no row for {first} ... {last}")
            elif key not in rows:
                failures.append(f"the key table has no row for {key}")
        print(f"{len(keys)} keys in the code: {', '.join(keys)}")

    exact, numbered = routes_in_code(args.source)
    exact += args.extra_route
    table = section(guide, URL_TABLE_TITLE)
    if table is None:
        failures.append(f'no section "{URL_TABLE_TITLE}" in {guide_path}')
    else:
        rows = first_words(table)
        for route in exact:
            if route not in rows:
                failures.append(f"the URL table has no row for {route}")
        for prefix, suffix in numbered:
            pattern = re.escape(prefix) + r"<\w+>" + re.escape(suffix)
            if not any(re.fullmatch(pattern, row) for row in rows):
                failures.append(f"the URL table has no row for {prefix}<n>{suffix}")
        print(f"{len(exact) + len(numbered)} routes in the code: "
              f"{', '.join(exact + [p + '<n>' + s for p, s in numbered])}")

    for failure in failures:
        print("FAIL  " + failure)
    print("user guide: " + ("every key and route named" if not failures else "INCOMPLETE"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
