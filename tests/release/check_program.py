#!/usr/bin/env python3
"""check_program.py OBJDUMP x86|x64 PROGRAM (IMPORT_LIST [VERSION] | --print)

Reads a Windows program without running it: its machine; subsystem and OS
versions no newer than Windows 7 (6.1); no C runtime but msvcrt.dll; no
load-time import of a DLL that Windows does not know by name; a manifest that names no other machine and asks for no elevation (asInvoker);
DEP and ASLR (with its relocations; high-entropy ASLR in the 64-bit program);
no test build and not the update tests' key; the FileVersion VERSION, if
given; and exactly the imports of the reviewed IMPORT_LIST. Says what differs
and exits 1 otherwise. --print prints the imports, sorted."""
import re, subprocess, sys
from pathlib import Path

objdump, machine, program, import_list = sys.argv[1:5]
dump = subprocess.run([objdump, "-p", program], check=True, capture_output=True, text=True).stdout
found, dll = set(), None
for line in dump.splitlines():
    if m := re.match(r"\s*DLL Name: (\S+)", line):
        dll = m[1].lower()
    elif dll and (m := re.match(r"\t[0-9a-f]+\t\s*\d+\s+(\S+)", line)):
        found.add(f"{dll}!{m[1]}")
    elif dll and re.match(r"\t[0-9a-f]+\t", line):
        found.add(f"{dll}!<by ordinal: {line.split()[-1]}>")
if import_list == "--print":
    sys.exit(print("\n".join(sorted(found))))

problems = []
file_format, magic, own_arch = {"x86": ("pei-i386", "PE32", "x86"), "x64": ("pei-x86-64", "PE32+", "amd64")}[machine]
if f"file format {file_format}" not in dump or not re.search(rf"^Magic\s+\S+\s+\({re.escape(magic)}\)", dump, re.M):
    problems.append(f"not an {machine} program ({file_format}, {magic})")
for field in ("Subsystem", "OSystem"):
    version = tuple(int(re.search(rf"^{part}{field}Version\s+(\d+)", dump, re.M)[1]) for part in ("Major", "Minor"))
    if version > (6, 1):
        problems.append(f"{field} version {version} is newer than Windows 7 (6.1)")
image = open(program, "rb").read()
# What the loader takes before the program runs comes from the program's own
# folder first unless Windows knows the name: comctl32 is found through the
# manifest's Common-Controls 6 dependency; anything else must be a delay
# import loaded from the system folder (cmake/delay/).
known = {"advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "shell32.dll", "user32.dll",
         "ws2_32.dll"} | ({"comctl32.dll"} if b'name="Microsoft.Windows.Common-Controls"' in image else set())
for dll in sorted({name.split("!")[0] for name in found}):
    if re.match(r"(api-ms-win-|ext-ms-|ucrtbase|vcruntime|msvcr\d|msvcp)", dll):
        problems.append(f"{dll}: a C runtime that a bare Windows 7 lacks (only msvcrt.dll)")
    elif dll not in known:
        problems.append(f"{dll}: not one of Windows' known DLLs, so a DLL of that name beside the program "
                        "would be loaded: make it a delay import (cmake/delay/)")
for arch in {a.decode() for a in re.findall(rb'processorArchitecture="([^"]*)"', image)} - {"*", own_arch}:
    problems.append(f'the manifest names processorArchitecture="{arch}"')
if re.findall(rb'requestedExecutionLevel level="([^"]*)"', image) != [b"asInvoker"]:
    problems.append('the manifest does not ask for requestedExecutionLevel level="asInvoker" (once)')

flags = set(re.search(r"^DllCharacteristics\s+[0-9a-f]+\n((?:\t+\S+\n)*)", dump, re.M)[1].split())
wanted = {"NX_COMPAT": "DEP", "DYNAMIC_BASE": "ASLR"} | ({"HIGH_ENTROPY_VA": "high-entropy ASLR"} if machine == "x64" else {})
problems += [f"no {what} ({flag})" for flag, what in wanted.items() if flag not in flags]
relocations = re.search(r"^Entry 5 [0-9a-f]+ ([0-9a-f]+) Base Relocation Directory", dump, re.M)
if "relocations stripped" in dump or not relocations or int(relocations[1], 16) == 0:
    problems.append("no base relocations: the image cannot move, whatever DYNAMIC_BASE says")

utf16 = lambda text: re.escape(text.encode("utf-16-le"))
if re.search(utf16("SpecialBuild\0"), image):
    problems.append("a test build (its version block has a SpecialBuild): it takes unsigned updates")
test_key = Path(__file__).resolve().parents[1] / "wine" / "keys" / "update-test-key.pub.pem"
key_body = "".join(line for line in test_key.read_text().splitlines() if line and not line.startswith("-----"))
if key_body.encode() in image:
    problems.append(f"it trusts the update tests' key ({test_key.name}), whose private half is public")
if len(sys.argv) > 5 and not re.search(utf16("FileVersion\0") + b"(\0\0)?" + utf16(sys.argv[5] + "\0"), image):
    problems.append(f"the version resource's FileVersion is not {sys.argv[5]}")

listed = [words[0] for words in (line.split("#")[0].split() for line in open(import_list)) if words]
if listed != sorted(set(listed)):
    problems.append(f"{import_list}: keep its lines sorted (LC_ALL=C sort), each once")
if new := sorted(found - set(listed)):
    problems.append("new imports: look each up in the platform documentation (its minimum supported client "
                    "must be Windows 7 or older), then add it to the list:\n  " + "\n  ".join(new))
if gone := sorted(set(listed) - found):
    problems.append("imports no longer used: take them off the list:\n  " + "\n  ".join(gone))
for problem in problems:
    print(f"{program}: {problem}")
problems or print(f"{program}: {machine}, Windows 7 and later, {len(found)} imports as reviewed")
sys.exit(1 if problems else 0)
