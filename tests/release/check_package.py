#!/usr/bin/env python3
"""The release ZIP as a user gets it: its entries, their form, and the module
in it, unpacked and loaded by the independent C test host. Also what makes
two builds differ: build paths, link times, ZIP entry times and attributes,
and the ZIP writer itself (scripts/check-reproducible.sh builds twice).

usage: check_package.py --build-dir DIR --version X.Y.Z.W --objdump OBJDUMP
           --check-imports check_imports.sh --imports "a.dll b.dll ..."
           --wine-run WINE_RUN --test-host unit_test_host.exe --workdir DIR
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import time
import zipfile
import zlib

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "release"))
import make_zip  # noqa: E402  (the package's own ZIP writer)

failures = []


def check(ok, text):
    print(("ok    " if ok else "FAIL  ") + text, flush=True)
    if not ok:
        failures.append(text)
    return ok


def sections(objdump, path):
    """{name: (size, file offset)} of the file's sections."""
    out = subprocess.run([objdump, "-h", path], capture_output=True, text=True, check=True).stdout
    rows = [line.split() for line in out.splitlines() if line[:4].strip().isdigit()]
    return {row[1]: (int(row[2], 16), int(row[5], 16)) for row in rows}


def debuglink(file_bytes, where):
    """(file name, CRC) from a .gnu_debuglink section: the name, a zero,
    padding to 4 bytes, then the CRC-32 of the debug file."""
    size, offset = where
    data = file_bytes[offset:offset + size]
    end = data.index(b"\0")
    crc_at = (end + 4) & ~3
    return data[:end].decode(), struct.unpack("<I", data[crc_at:crc_at + 4])[0]


def pe_timestamp(file_bytes):
    """TimeDateStamp of a PE file's header: 4 bytes after the "PE\\0\\0"
    signature, the machine and the section count."""
    pe = struct.unpack_from("<I", file_bytes, 0x3C)[0]
    return struct.unpack_from("<I", file_bytes, pe + 8)[0]


def check_entries(path, expected, label, workdir):
    """The entries, in order, each with the commit's time and no build-machine
    attributes; and the same files written again give the same ZIP, byte for
    byte (what a second build's package step would do)."""
    with zipfile.ZipFile(path) as archive:
        infos = archive.infolist()
        check([i.filename for i in infos] == expected,
              f"{label} holds, in this order: {', '.join(n.split('/', 1)[1] for n in expected)}"
              f" (it holds {[i.filename for i in infos]})")
        check(archive.testzip() is None, f"{label}: every entry's CRC is right")
        epoch = make_zip.source_epoch(SOURCE_DIR)
        want = time.gmtime(epoch)[:5] + (time.gmtime(epoch).tm_sec // 2 * 2,)  # ZIP times count 2-second steps
        check(all(i.date_time == want for i in infos),
              f"{label}: every entry has the last commit's time {want} ({sorted({i.date_time for i in infos})})")
        check(all(i.create_system == 0 and i.external_attr == make_zip.DOS_ARCHIVE for i in infos),
              f"{label}: MS-DOS attributes (archive) only, no owner or permission bits of the build machine")
        archive.extractall(workdir)
    again = os.path.join(workdir, "again-" + os.path.basename(path))
    r = subprocess.run([sys.executable, make_zip.__file__, again, SOURCE_DIR] +
                       [f"{name}={os.path.join(workdir, name)}" for name in expected], capture_output=True, text=True)
    with open(path, "rb") as f, open(again, "rb") as g:
        check(r.returncode == 0 and f.read() == g.read(), f"{label}: the same files written again give the same bytes")


def main():
    ap = argparse.ArgumentParser()
    for name in ("--build-dir", "--version", "--objdump", "--check-imports", "--imports", "--wine-run",
                 "--test-host", "--workdir"):
        ap.add_argument(name, required=True)
    args = ap.parse_args()

    base = f"TovrinStreamer-{args.version}-win64"
    zip_path = os.path.join(args.build_dir, base + ".zip")
    symbols_path = os.path.join(args.build_dir, base + "-symbols.zip")
    if not check(os.path.isfile(zip_path) and os.path.isfile(symbols_path),
                 f"the package command made {base}.zip and {base}-symbols.zip"):
        return 1

    shutil.rmtree(args.workdir, ignore_errors=True)
    entries = [f"{base}/{name}" for name in (
        "Changes.txt", "LICENSE.txt", "TovrinStreamer.module", "TovrinStreamer.sdp", "UserGuide.txt",
        "licenses/GCC-RUNTIME-LIBRARY-EXCEPTION.txt", "licenses/GPL-3.0.txt", "licenses/QR-Code-generator.txt",
        "licenses/mingw-w64.txt")]
    check_entries(zip_path, entries, base + ".zip", args.workdir)
    check_entries(symbols_path, [f"{base}-symbols/TovrinStreamer.module.debug"], base + "-symbols.zip", args.workdir)
    for name in entries:
        if name.endswith((".txt", ".sdp")):
            with open(os.path.join(args.workdir, name), "rb") as f:
                text = f.read()
            check(b"\r\n" in text and b"\n" not in text.replace(b"\r\n", b""),
                  f"{name.split('/', 1)[1]} has Windows line ends")

    folder = os.path.join(args.workdir, base)
    module = os.path.join(folder, "TovrinStreamer.module")
    debug = os.path.join(args.workdir, base + "-symbols", "TovrinStreamer.module.debug")
    with open(module, "rb") as f:
        module_bytes = f.read()
    with open(debug, "rb") as f:
        debug_bytes = f.read()

    # The texts a user reads.
    with open(os.path.join(folder, "UserGuide.txt"), encoding="utf-8") as f:
        guide = f.read()
    major_minor_patch = ".".join(args.version.split(".")[:3])
    check(guide.startswith(f"Tovrin TS Streamer {major_minor_patch} - User guide"),
          f"the user guide names version {major_minor_patch}")
    with open(os.path.join(folder, "TovrinStreamer.sdp"), encoding="ascii") as f:
        sdp = f.read().splitlines()
    check("m=video 43000 RTP/AVP 33" in sdp and "a=rtpmap:33 MP2T/90000" in sdp and "c=IN IP4 127.0.0.1" in sdp,
          "the SDP file describes payload type 33 (MP2T) at 127.0.0.1:43000")
    with open(os.path.join(folder, "Changes.txt"), encoding="utf-8") as f:
        changes = f.read()
    check(f"## {major_minor_patch}" in changes,
          f"Changes.txt has an entry for version {major_minor_patch}")
    with open(os.path.join(folder, "LICENSE.txt"), encoding="utf-8") as f:
        check(f.readline().strip() == "MIT License", "LICENSE.txt is the project's MIT licence")

    # The module: the very file the build's tests load and stream through,
    # stripped, and pointing at its debug information.
    with open(os.path.join(args.build_dir, "TovrinStreamer.module"), "rb") as f:
        check(f.read() == module_bytes, "the ZIP's module is byte-identical to the build's, which the e2e tests stream")
    module_sections = sections(args.objdump, module)
    check(not [s for s in module_sections if s.startswith(".debug")],
          f"the module carries no debug sections ({len(module_bytes)} bytes; sections {' '.join(module_sections)})")
    if check(".gnu_debuglink" in module_sections, "the module has a .gnu_debuglink section"):
        name, crc = debuglink(module_bytes, module_sections[".gnu_debuglink"])
        check(name == "TovrinStreamer.module.debug" and crc == zlib.crc32(debug_bytes),
              f"its debug link names {name} with CRC {crc:08x}, the CRC of the symbols ZIP's file "
              f"({zlib.crc32(debug_bytes):08x})")
    debug_sections = sections(args.objdump, debug)
    check({".debug_info", ".debug_line"} <= set(debug_sections), "the .debug file holds .debug_info and .debug_line")
    lines = subprocess.run([args.objdump, "--dwarf=decodedline", debug], capture_output=True, text=True).stdout
    check("PidDataWriter.cpp" in lines and "TsAligner.cpp" in lines,
          "its line table covers the module's own sources (PidDataWriter.cpp, TsAligner.cpp)")
    # What would tell two builds apart: their folders and the time of day.
    check(SOURCE_DIR.encode() not in debug_bytes and SOURCE_DIR.encode() not in module_bytes,
          f"no build path ({SOURCE_DIR}) in the module or its debug information")
    check(pe_timestamp(module_bytes) == 0 and pe_timestamp(debug_bytes) == 0,
          f"no link time in the PE headers (module {pe_timestamp(module_bytes)}, .debug {pe_timestamp(debug_bytes)})")

    # What the module needs from a user's Windows.
    r = subprocess.run(["sh", args.check_imports, args.objdump, module, args.imports], capture_output=True, text=True)
    print(r.stdout, end="")
    check(r.returncode == 0, f"the ZIP's module imports exactly {args.imports}, and exports the one entry")

    # Loaded from where the user unpacked it, by the host that knows only the contract.
    r = subprocess.run([args.wine_run, args.test_host, module], capture_output=True, text=True, timeout=100)
    tail = (r.stdout + r.stderr).strip().splitlines()[-1:] or ["(no output)"]
    if r.returncode != 0:
        print(r.stdout + r.stderr)
    check(r.returncode == 0, f"the C test host loads the unpacked module and passes: {tail[0]}")

    print(f"{'release package: passed' if not failures else 'release package: FAILED: ' + '; '.join(failures)}")
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
