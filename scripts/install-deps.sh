#!/usr/bin/env bash
# Installs, on Debian 12 as root, whatever the build, the tests and the demo
# need and the machine does not have yet. Quiet when nothing is missing.
set -euo pipefail

packages=(
    cmake make g++ python3
    libgtest-dev googletest                       # native tests; sources for the Windows build
    rapidjson-dev                                 # the update server's JSON reply
    clang libclang-rt-14-dev                      # the fuzzers (libFuzzer and the sanitizers)
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix   # the 32-bit Windows program
    dpkg-dev openssl                              # the relay's package; update signatures
    lintian systemd                               # the package's checks: lintian, systemd-analyze security
    wine64 xvfb openbox socat                     # the Windows program and its tests
    openssl                                       # signing the updates the tests offer
    fonts-nanum locales                           # Korean texts under Wine
    procps xdotool imagemagick x11-utils xcompmgr   # GUI tests: driving, screenshots, alpha
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$package")
done

if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine takes its ANSI code page from the locale: Korean Windows uses 949.
if ! locale -a 2>/dev/null | grep -qi '^ko_KR\.utf-\?8$'; then
    sed -i 's/^# *\(ko_KR\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ko_KR.UTF-8 UTF-8' /etc/locale.gen || echo 'ko_KR.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
fi
