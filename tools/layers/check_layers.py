#!/usr/bin/env python3
"""Checks that the module's folders include only from the folders below them.

The module's sources are a folder per concern, included by folder
("server/HttpServer.h"). A folder may include its own headers, those of the
folders before it in LAYERS, and the portable stream core; never one after it,
so that a concern can be read (and changed) knowing only what lies below.
Exit 1, naming each include that runs upwards or names an unknown folder.
"""
import pathlib
import re
import sys

# From the bottom up.
LAYERS = ["host", "settings", "net", "outputs", "server", "dialogs", "writer", "entry"]
STREAM = {"ts", "psi", "programs", "rtp", "sap", "guide", "http", "discovery", "srt"}
# Headers outside both trees: the resources and the QR code library.
OTHERS = {"resource.h", "StatusText.h", "qrcodegen.h"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main(root: pathlib.Path) -> int:
    module = root / "module"
    faults = []
    for path in sorted(module.rglob("*")):
        if path.suffix not in (".h", ".cpp") or path.parent == module:
            if path.suffix in (".h", ".cpp"):
                faults.append(f"{path.relative_to(root)}: outside any concern's folder")
            continue
        folder = path.parent.relative_to(module).parts[0]
        if folder not in LAYERS:
            faults.append(f"{path.relative_to(root)}: folder {folder!r} is not in the layer list")
            continue
        level = LAYERS.index(folder)
        for name in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
            head = name.split("/")[0] if "/" in name else None
            if head is None:
                if name not in OTHERS:
                    faults.append(f"{path.relative_to(root)}: \"{name}\" names no folder")
            elif head in STREAM:
                continue
            elif head not in LAYERS:
                faults.append(f"{path.relative_to(root)}: \"{name}\" is in no known folder")
            elif LAYERS.index(head) > level:
                faults.append(f"{path.relative_to(root)}: {folder}/ includes \"{name}\" from above it")
    for fault in faults:
        print(fault)
    print(f"check_layers: {len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")))
