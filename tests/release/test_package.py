#!/usr/bin/env python3
"""test_package.py BUILD: the relay's Debian package built from BUILD, listed,
checked by lintian, its unit rated by systemd-analyze security, its purge run
against planted links, unpacked, and its relay run on a pty with the command
line its systemd unit gives it, the settings file copied and edited as the
README says, under a umask that would let everyone read the log."""
import os, re, select, signal, subprocess, sys, tempfile, time

build, tmp = sys.argv[1], tempfile.mkdtemp(prefix="brinvale-package-")
run = lambda *cmd: subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def expect(condition, what):
    condition or sys.exit(f"FAILED: {what}")


run("cpack", "-G", "DEB", "-B", f"{tmp}/out", "--config", f"{build}/CPackConfig.cmake")
version = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.*)$", open(f"{build}/CMakeCache.txt").read(), re.M)[1]
deb = f"{tmp}/out/brinvale-relay_{version}_{run('dpkg', '--print-architecture').strip()}.deb"
files = {row[-1]: row[0] for row in map(str.split, run("dpkg-deb", "-c", deb).splitlines()) if row[0][0] == "-"}
expect(files == {"./usr/bin/brinvale-relay": "-rwxr-xr-x", "./etc/brinvale-relay/ttyUSB0.conf": "-rw-r--r--",
                 "./usr/lib/systemd/system/brinvale-relay@.service": "-rw-r--r--",
                 "./usr/share/man/man8/brinvale-relay.8.gz": "-rw-r--r--",
                 "./usr/share/doc/brinvale-relay/copyright": "-rw-r--r--",
                 "./usr/share/doc/brinvale-relay/changelog.gz": "-rw-r--r--"}, f"package files {files}")
lint = subprocess.run(["lintian", "--fail-on", "error,warning", deb], capture_output=True, text=True)
expect(lint.returncode == 0 and not re.search(r"^[EW]: ", lint.stdout, re.M), f"lintian says\n{lint.stdout}")
depends = run("dpkg-deb", "-f", deb, "Depends")
expect("adduser" in depends and "libc6" in depends, f"Depends: {depends}")
run("dpkg-deb", "-e", deb, f"{tmp}/control")
expect(all(os.access(f"{tmp}/control/{s}", os.X_OK) for s in ("postinst", "prerm", "postrm")), "maintainer scripts")
expect(open(f"{tmp}/control/conffiles").read() == "/etc/brinvale-relay/ttyUSB0.conf\n", "conffiles")

# Purge deletes the logs and the enabled relays' links, and nothing a link
# planted there points to.
fake, kept = f"{tmp}/fake-root", f"{tmp}/kept"
for folder in (f"{fake}/var/log", f"{fake}/etc/systemd/system/multi-user.target.wants", kept):
    os.makedirs(folder)
open(f"{kept}/card-data.LOG", "w").close()
os.symlink(kept, f"{fake}/var/log/brinvale-relay")
os.symlink(kept, f"{fake}/etc/systemd/system/linked.wants")
os.symlink("/x", f"{kept}/brinvale-relay@ttyS0.service")
os.symlink("/x", f"{fake}/etc/systemd/system/multi-user.target.wants/brinvale-relay@ttyUSB0.service")
subprocess.run([f"{tmp}/control/postrm", "purge"], check=True, env={**os.environ, "DPKG_ROOT": fake})
expect(sorted(os.listdir(kept)) == ["brinvale-relay@ttyS0.service", "card-data.LOG"], "purge kept a link's target")
expect(os.listdir(f"{fake}/var/log") == [] and os.listdir(f"{fake}/etc/systemd/system/multi-user.target.wants") == [],
       "purge deleted the log folder and the enabled relay")

# Unpacked, its unit rated by systemd as it would run.
root = f"{tmp}/root"
run("dpkg-deb", "-x", deb, root)
rating = run("systemd-analyze", "security", "--offline=true", f"--root={root}", "brinvale-relay@ttyUSB0.service")
exposure = float(re.search(r"Overall exposure level for \S+: (\d+\.\d)", rating)[1])
expect(exposure <= 2.0, f"systemd-analyze security rates the unit {exposure}:\n{rating}")

# For a pty: its instance name is its path below /dev, escaped.
master, slave = os.openpty()
device = os.ttyname(slave)
instance = device[len("/dev/"):].replace("/", "-")
conf = open(f"{root}/etc/brinvale-relay/ttyUSB0.conf").read().replace("SPEED=9600", "SPEED=115200")
open(f"{root}/etc/brinvale-relay/{instance}.conf", "w").write(conf.replace("\nLOG=\n", "\nLOG=--log\n"))

# The unit's command line and environment, expanded as systemd does.
unit = open(f"{root}/usr/lib/systemd/system/brinvale-relay@.service").read()
setting = lambda key: re.search(rf"^{key}=(.*)$", unit, re.M)[1].replace("%i", instance)
env = dict(pair.split("=", 1) for pair in setting("Environment").split())
env_file = open(root + setting("EnvironmentFile").lstrip("-"))
env.update(line.strip().split("=", 1) for line in env_file if re.match(r"\w+=", line))
command = []
for word in setting("ExecStart").replace("%f", "/" + instance.replace("-", "/")).split():
    bare = re.fullmatch(r"\$(\w+)", word)
    command += env[bare[1]].split() if bare else [re.sub(r"\$\{(\w+)\}", lambda m: env[m[1]], word)]
expect(command[:5] == ["/usr/bin/brinvale-relay", "--port", device, "--speed", "115200"] and "--log" in command,
       f"ExecStart {command}")
log_dir = f"{tmp}/log"
relay = subprocess.Popen([root + command[0]] + [log_dir if w == "/var/log/brinvale-relay" else w for w in command[1:]],
                         stdout=subprocess.PIPE, text=True, umask=0)

expect(any("CAT : 연결" in line for line in relay.stdout), "the relay opened the terminal's line")
os.write(master, b"\r")
heard, deadline = b"", time.monotonic() + 30
while heard != b"\x06" * 5 and time.monotonic() < deadline:
    heard += os.read(master, 64) if select.select([master], [], [], 1)[0] else b""
expect(heard == b"\x06" * 5, f"the terminal heard {heard!r}, not five ACK")
relay.send_signal(signal.SIGTERM)
expect(relay.wait(timeout=60) == 0, "SIGTERM ends the relay with 0")
logs = os.listdir(log_dir)
expect(len(logs) == 1 and re.fullmatch(r"brinvale-relay_\d{8}\.LOG", logs[0]), f"log folder holds {logs}")
expect("[PC ->CAT] [5   ] [0606060606]" in open(f"{log_dir}/{logs[0]}").read(), "the ACK in the traffic log")
modes = [oct(os.stat(path).st_mode & 0o777) for path in (log_dir, f"{log_dir}/{logs[0]}")]
expect(modes == ["0o700", "0o600"], f"under umask 0 the log folder and file have the modes {modes}")
run("rm", "-rf", tmp)
print(f"{os.path.basename(deb)}: its files, lintian, control data, purge, exposure {exposure}, "
      "the relay its unit starts and its log's modes")
