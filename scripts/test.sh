#!/usr/bin/env bash
# The test command: installs what is missing, builds every preset and runs
# every test, native (plain, with the relay's Debian package, AddressSanitizer
# with UBSan, ThreadSanitizer), the fuzzers for a few seconds each, Windows
# under Wine, and the 32-bit Windows build with the checks that need no Wine.
# Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1
jobs=$(nproc)
failed=()

step() {
    local name=$1
    shift
    echo "== $name"
    "$@" && return 0
    failed+=("$name")
    return 1
}

preset() {
    local name=$1
    shift
    step "$name: configure" cmake --preset "$name" >/dev/null || return
    step "$name: build" cmake --build --preset "$name" -j "$jobs" || return
    step "$name: test" ctest --preset "$name" "$@"
}

trap 'tests/wine/gui-stop.sh >/dev/null 2>&1; tests/wine/wine-stop.sh >/dev/null 2>&1; true' EXIT

# The 32-bit program first: the native and the Wine tests read its update
# build as the program every till is offered, and must find it.
export BRINVALE_REQUIRE_X86=1
preset windows-x86
preset native -j "$jobs"
preset native-asan -j "$jobs"
preset native-tsan -j "$jobs"
preset fuzz -j "$jobs"
preset windows

echo
if ((${#failed[@]})); then
    printf 'FAILED: %s\n' "${failed[@]}"
    exit 1
fi
echo "All presets built and every test passed."
