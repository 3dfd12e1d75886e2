#!/usr/bin/env python3
"""Writes a ZIP file that is the same, byte for byte, from every build of one
commit: entries in the order given, every entry with the same time (the
commit's, see below), no owner, permission or build-path information, and
the same compression.

    make_zip.py OUTPUT.zip SOURCE_DIR NAME_IN_ZIP=FILE [NAME_IN_ZIP=FILE ...]

Text files (.txt, .sdp) get Windows line ends, for the people who open them
in Notepad. The entries' time is SOURCE_DATE_EPOCH when it is set, else the
time of SOURCE_DIR's last commit, else 1 January 2000.
"""

import os
import subprocess
import sys
import time
import zipfile

TEXT_SUFFIXES = (".txt", ".sdp")
FALLBACK_EPOCH = 946684800  # 2000-01-01 00:00:00 UTC
DOS_ARCHIVE = 0x20


def source_epoch(source_dir):
    if os.environ.get("SOURCE_DATE_EPOCH", "").isdigit():
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(["git", "-C", source_dir, "log", "-1", "--format=%ct"],
                             capture_output=True, text=True, check=True).stdout.strip()
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        return FALLBACK_EPOCH


def contents(path):
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(TEXT_SUFFIXES):
        data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return data


def main(argv):
    if len(argv) < 4 or any("=" not in a for a in argv[3:]):
        sys.exit(__doc__)
    output, source_dir, entries = argv[1], argv[2], [a.split("=", 1) for a in argv[3:]]
    # ZIP times have no zone and start in 1980; UTC keeps them the same everywhere.
    stamp = time.gmtime(max(source_epoch(source_dir), 315532800))[:6]
    partial = output + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        for name, path in entries:
            info = zipfile.ZipInfo(name, date_time=stamp)
            # MS-DOS attributes, "archive" only: no Unix owner or mode bits
            # (zipfile would put the build user's in place of a 0).
            info.create_system = 0
            info.external_attr = DOS_ARCHIVE
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, contents(path), compresslevel=9)
    os.replace(partial, output)
    print(f"make_zip: {output}: {len(entries)} files")


if __name__ == "__main__":
    main(sys.argv)
