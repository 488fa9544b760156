#!/usr/bin/env python3
"""The Debian package of brinvale-relay as a technician gets it: built with
cpack from the build folder BUILD, listed, unpacked, and its relay started
the way its systemd unit starts it, for a pty, with the per-device settings
file copied and edited as the README says. A wake-up CR must get the five
ACK, SIGTERM must end the relay with 0, and the traffic log must be in the
log folder.

    test_package.py BUILD
"""
import os, re, select, signal, subprocess, sys, tempfile, time

build = sys.argv[1]
tmp = tempfile.mkdtemp(prefix="brinvale-package-")
run = lambda *cmd: subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def expect(condition, what):
    if not condition:
        sys.exit(f"FAILED: {what}")


run("cpack", "-G", "DEB", "-B", f"{tmp}/out", "--config", f"{build}/CPackConfig.cmake")
deb = [f"{tmp}/out/{name}" for name in os.listdir(f"{tmp}/out") if name.endswith(".deb")][0]
version = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.*)$", open(f"{build}/CMakeCache.txt").read(), re.M).group(1)
arch = run("dpkg", "--print-architecture").strip()
expect(os.path.basename(deb) == f"brinvale-relay_{version}_{arch}.deb", f"package file name {deb}")

listing = [line.split() for line in run("dpkg-deb", "-c", deb).splitlines()]
files = {row[-1]: row[0] for row in listing if row[0].startswith("-")}
expect(files == {"./usr/bin/brinvale-relay": "-rwxr-xr-x",
                 "./usr/lib/systemd/system/brinvale-relay@.service": "-rw-r--r--",
                 "./etc/brinvale-relay/ttyUSB0.conf": "-rw-r--r--"}, f"package files {files}")
fields = dict(line.split(": ", 1) for line in run("dpkg-deb", "-f", deb, "Package", "Version", "Depends").splitlines())
expect(fields["Package"] == "brinvale-relay" and fields["Version"] == version, f"control fields {fields}")
expect("adduser" in fields["Depends"] and "libc6" in fields["Depends"], f"Depends: {fields['Depends']}")
run("dpkg-deb", "-e", deb, f"{tmp}/control")
expect(all(os.access(f"{tmp}/control/{s}", os.X_OK) for s in ("postinst", "prerm", "postrm")), "maintainer scripts")
expect(open(f"{tmp}/control/conffiles").read().split() == ["/etc/brinvale-relay/ttyUSB0.conf"], "conffiles")

# Unpack; the terminal's line is a pty, so the instance is its path, escaped.
root = f"{tmp}/root"
run("dpkg-deb", "-x", deb, root)
master, slave = os.openpty()
device = os.ttyname(slave)                                   # /dev/pts/N
instance = device[len("/dev/"):].replace("/", "-")           # pts-N, as systemd-escape --path
conf = open(f"{root}/etc/brinvale-relay/ttyUSB0.conf").read()
conf = conf.replace("SPEED=9600", "SPEED=115200").replace("\nLOG=\n", "\nLOG=--log\n")
open(f"{root}/etc/brinvale-relay/{instance}.conf", "w").write(conf)

# The unit's command line with its environment, as systemd expands it.
unit = open(f"{root}/usr/lib/systemd/system/brinvale-relay@.service").read()
setting = lambda key: re.search(rf"^{key}=(.*)$", unit, re.M).group(1).replace("%i", instance)
env = dict(pair.split("=", 1) for pair in setting("Environment").split())
for line in open(root + setting("EnvironmentFile").lstrip("-")):
    if re.match(r"^\w+=", line):
        env.update([line.strip().split("=", 1)])
command = []
for word in setting("ExecStart").replace("%f", "/" + instance.replace("-", "/")).split():
    if word.startswith("$") and not word.startswith("${"):
        command += env[word[1:]].split()
    else:
        command.append(re.sub(r"\$\{(\w+)\}", lambda m: env[m.group(1)], word))
expect(command[:3] == ["/usr/bin/brinvale-relay", "--port", device] and "--log" in command, f"ExecStart {command}")
log_dir = f"{tmp}/log"
os.mkdir(log_dir)
command = [root + command[0]] + [log_dir if w == "/var/log/brinvale-relay" else w for w in command[1:]]

relay = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
opened = next((True for line in relay.stdout if "CAT : 연결" in line), False)
expect(opened, "the relay opened the terminal's line")
os.write(master, b"\r")
heard, deadline = b"", time.monotonic() + 30
while heard != b"\x06" * 5 and time.monotonic() < deadline:
    if select.select([master], [], [], 1)[0]:
        heard += os.read(master, 64)
expect(heard == b"\x06" * 5, f"the terminal heard {heard!r}, not five ACK")
relay.send_signal(signal.SIGTERM)
expect(relay.wait(timeout=60) == 0, "SIGTERM ends the relay with 0")

logs = os.listdir(log_dir)
expect(len(logs) == 1 and re.fullmatch(r"brinvale-relay_\d{8}\.LOG", logs[0]), f"log folder holds {logs}")
expect("[PC ->CAT] [5   ] [0606060606]" in open(f"{log_dir}/{logs[0]}").read(), "the ACK in the traffic log")
run("rm", "-rf", tmp)
print(f"{os.path.basename(deb)}: contents, control and the packaged relay as its unit runs it")
