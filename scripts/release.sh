#!/usr/bin/env bash
# Builds a release into dist/: the Windows program for both machines, the
# Debian package of brinvale-relay and SHA256SUMS; with a signing key also the
# update signatures and the reply the update server gives.
#
#   scripts/release.sh [--sign-key KEY.pem --update-host HOST[:PORT] [--base-url URL]]
#
# --sign-key     the P-256 private key (PEM) of the updates; BRINVALE_SIGN_KEY
#                gives it too. The programs are built with its public half,
#                and each program gets its signature FILE.sig beside it. The
#                update tests' key (tests/wine/keys) is refused. Without a
#                key the programs never ask any server for updates.
# --update-host  the update server the programs ask (built in);
#                BRINVALE_UPDATE_HOST. Without a key the programs keep the
#                default, a name that never resolves: they never update.
# --base-url     where the server offers the files (default http://HOST/brinvale);
#                BRINVALE_BASE_URL.
set -euo pipefail

sign_key=${BRINVALE_SIGN_KEY:-}
update_host=${BRINVALE_UPDATE_HOST:-}
base_url=${BRINVALE_BASE_URL:-}
while (($#)); do
    case $1 in
    --sign-key) sign_key=${2:?--sign-key takes a file}; shift 2 ;;
    --update-host) update_host=${2:?--update-host takes HOST[:PORT]}; shift 2 ;;
    --base-url) base_url=${2:?--base-url takes a URL}; shift 2 ;;
    *) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done

die() { echo "release: $*" >&2; exit 1; }
if [[ $sign_key ]]; then
    sign_key=$(realpath -e "$sign_key") || die "no signing key there"
fi
cd "$(dirname "$0")/.."
scripts/install-deps.sh

version=$(sed -n 's/^project(OstrelBrinvale VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[[ $version ]] || die "no project VERSION in CMakeLists.txt"
work=$PWD/build/release
mkdir -p "$work"

cmake_options=(-DBRINVALE_TESTS=OFF -DCMAKE_EXE_LINKER_FLAGS=-s)
if [[ $sign_key ]]; then
    [[ -r $sign_key ]] || die "cannot read the signing key $sign_key"
    [[ $update_host ]] || die "a signed release needs --update-host: its programs ask that server"
    [[ $update_host =~ ^[A-Za-z0-9.-]+(:[0-9]+)?$ ]] || die "--update-host is HOST or HOST:PORT"
    openssl ec -in "$sign_key" -noout -text 2>/dev/null | grep -q 'prime256v1' ||
        die "$sign_key is no P-256 (prime256v1) private key"
    openssl ec -in "$sign_key" -pubout -out "$work/update-key.pem" 2>/dev/null
    # The update tests' key pair is in the sources: anybody could sign for it.
    cmp -s "$work/update-key.pem" tests/wine/keys/update-test-key.pub.pem &&
        die "$sign_key is the update tests' key (tests/wine/keys): a release needs a key of its own"
    base_url=${base_url:-http://$update_host/brinvale}
    [[ $base_url =~ ^https?://[^\"\\[:space:]]+$ ]] || die "--base-url is an http:// or https:// URL"
    cmake_options+=("-DBRINVALE_UPDATE_KEY=$work/update-key.pem" "-DBRINVALE_UPDATE_HOST=$update_host")
elif [[ $update_host || $base_url ]]; then
    die "--update-host and --base-url come with --sign-key: an update server serves signed programs"
else
    cmake_options+=(-DBRINVALE_UPDATE_KEY= -UBRINVALE_UPDATE_HOST)
fi

echo "== OstrelBrinvale $version: Windows x64 and x86"
for machine in x64 x86; do
    preset=windows
    [[ $machine == x86 ]] && preset=windows-x86
    cmake --preset "$preset" -B "$work/windows-$machine" --no-warn-unused-cli "${cmake_options[@]}" >/dev/null
    cmake --build "$work/windows-$machine" --target OstrelBrinvale -j 2
done

echo "== brinvale-relay $version: Debian package"
cmake --preset native -B "$work/linux" -DBRINVALE_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/linux" --target brinvale-relay -j 2
rm -rf "$work/package"
(cd "$work/linux" && cpack -G DEB -B "$work/package" >/dev/null)
lintian --fail-on error,warning "$work"/package/brinvale-relay_"$version"_*.deb

echo "== dist/"
rm -rf dist
mkdir -p dist/windows-x64 dist/windows-x86
for machine in x64 x86; do
    program=dist/windows-$machine/OstrelBrinvale.exe
    cp "$work/windows-$machine/OstrelBrinvale.exe" "$program"
    objdump=$( [[ $machine == x64 ]] && echo x86_64 || echo i686 )-w64-mingw32-objdump
    python3 tests/release/check_program.py "$objdump" "$machine" "$program" "tests/release/imports-$machine.txt" "$version"
done
cp "$work"/package/brinvale-relay_"$version"_*.deb dist/

if [[ $sign_key ]]; then
    cp "$work/update-key.pem" dist/update-key.pem
    for program in dist/windows-x64/OstrelBrinvale.exe dist/windows-x86/OstrelBrinvale.exe; do
        openssl dgst -sha256 -sign "$sign_key" -out "$program.sig" "$program"
        openssl dgst -sha256 -verify dist/update-key.pem -signature "$program.sig" "$program" >/dev/null
    done
    # One offer for every till: the 32-bit program runs on every Windows.
    printf '{"status":"ok","version":"%s","url":"%s/windows-x86/OstrelBrinvale.exe"}\n' \
        "$version" "${base_url%/}" > dist/update-reply.txt
fi

(cd dist && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort | xargs sha256sum > SHA256SUMS)
echo
find dist -type f -printf '%P\t%s bytes\n' | LC_ALL=C sort
[[ $sign_key ]] && echo "update server $update_host replies: $(cat dist/update-reply.txt)"
echo "Release $version written to dist/."
