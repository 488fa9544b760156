#!/usr/bin/env python3
"""Reads a built Windows program without running it and checks that it
starts on Windows 7 SP1 and later, on the machine it was built for.

    check_program.py OBJDUMP x86|x64 PROGRAM IMPORT_LIST [VERSION]
    check_program.py OBJDUMP x86|x64 PROGRAM --print    (the imports, sorted)

Checks: the PE machine; subsystem and OS versions no newer than 6.1
(Windows 7); no C runtime but msvcrt.dll; the manifest names no other
machine; and the import table is exactly the reviewed IMPORT_LIST (sorted
"dll!function  floor" lines). Exits 1 and says what differs otherwise.
"""
import re
import subprocess
import sys

MACHINES = {"x86": ("pei-i386", "PE32"), "x64": ("pei-x86-64", "PE32+")}
CRT_DLL = re.compile(r"^(api-ms-win-|ext-ms-|ucrtbase|vcruntime|msvcr\d|msvcp)")


def imports(dump):
    """dll!function for every entry of the import tables."""
    found, dll = set(), None
    for line in dump.splitlines():
        if m := re.match(r"\s*DLL Name: (\S+)", line):
            dll = m.group(1).lower()
        elif dll and (m := re.match(r"\t[0-9a-f]+\t\s*(\d+)\s+(\S+)", line)):
            found.add(f"{dll}!{m.group(2)}")
        elif dll and re.match(r"\t[0-9a-f]+\t", line):
            found.add(f"{dll}!<by ordinal: {line.split()[-1]}>")
    return found


def reviewed(path):
    lines = [line.split("#")[0].split() for line in open(path, encoding="utf-8")]
    return [words[0] for words in lines if words]


def main():
    objdump, machine, program = sys.argv[1:4]
    dump = subprocess.run([objdump, "-p", program], check=True, capture_output=True, text=True).stdout
    found = imports(dump)
    if sys.argv[4] == "--print":
        print("\n".join(sorted(found)))
        return 0

    problems = []
    file_format, magic = MACHINES[machine]
    if f"file format {file_format}" not in dump or not re.search(rf"^Magic\s+\S+\s+\({re.escape(magic)}\)", dump, re.M):
        problems.append(f"not an {machine} program ({file_format}, {magic})")
    for field in ("Subsystem", "OSystem"):
        major = int(re.search(rf"^Major{field}Version\s+(\d+)", dump, re.M).group(1))
        minor = int(re.search(rf"^Minor{field}Version\s+(\d+)", dump, re.M).group(1))
        if (major, minor) > (6, 1):
            problems.append(f"{field} version {major}.{minor} is newer than Windows 7 (6.1)")
    for dll in sorted({name.split("!")[0] for name in found}):
        if CRT_DLL.match(dll):
            problems.append(f"{dll}: a C runtime that a bare Windows 7 lacks (only msvcrt.dll)")
    own_machine = {"x86": "x86", "x64": "amd64"}[machine]
    image = open(program, "rb").read()
    for arch in set(re.findall(rb'processorArchitecture="([^"]*)"', image)):
        if arch.decode() not in ("*", own_machine):
            problems.append(f'the manifest names processorArchitecture="{arch.decode()}"')
    if len(sys.argv) > 5:
        utf16 = lambda text: text.encode("utf-16-le")
        if not re.search(re.escape(utf16("FileVersion\0")) + b"(\0\0)?" + re.escape(utf16(sys.argv[5] + "\0")), image):
            problems.append(f"the version resource's FileVersion is not {sys.argv[5]}")

    listed = reviewed(sys.argv[4])
    if listed != sorted(set(listed)):
        problems.append(f"{sys.argv[4]}: keep its lines sorted (LC_ALL=C sort), each once")
    new, gone = sorted(found - set(listed)), sorted(set(listed) - found)
    if new:
        problems.append("new imports: look each up in the platform documentation (its minimum supported "
                        "client must be Windows 7 or older), then add it to the list:\n  " + "\n  ".join(new))
    if gone:
        problems.append("imports no longer used: take them off the list:\n  " + "\n  ".join(gone))

    for problem in problems:
        print(f"{program}: {problem}")
    if not problems:
        print(f"{program}: {machine}, Windows 7 and later, {len(found)} imports as reviewed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
