#!/usr/bin/env python3
"""check_layers.py SRC: every #include of a header of ours points down.

The folders of src/ stand in layers, lowest first; a file may include
headers of its own folder and of the folders below it, never of one above.
Prints each include that points up (file, line, header) and exits 1 then."""
import re
import sys
from pathlib import Path

# Lowest first: the operating system's services and the resource ids, the
# traffic log, the relay engine, the dialog layer, the settings, the
# installation, the update, the windows; brinvale-relay sits on the engine.
LAYERS = ["common", "res", "log", "relay", "dialog", "config", "install", "update", "ui", "relay_cli"]

src = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "src")
problems = []
for path in sorted(p for p in src.rglob("*") if p.suffix in (".h", ".cpp", ".rc")):
    folder = path.relative_to(src).parts[0]
    if folder not in LAYERS:
        problems.append(f"{path}: the folder {folder} has no place in the layers of {__file__}")
        continue
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        included = re.match(r'\s*#\s*include\s+"(\w+)/', line)
        if not included:
            continue
        target = included[1]
        if target not in LAYERS:
            problems.append(f"{path}:{number}: {line.strip()}: no such layer")
        elif LAYERS.index(target) > LAYERS.index(folder):
            problems.append(f"{path}:{number}: {line.strip()}: {folder}/ may not include a header of {target}/ above it")
print("\n".join(problems) or f"{src}: every include points down ({' < '.join(LAYERS)})")
sys.exit(1 if problems else 0)
