#!/usr/bin/env bash
# Builds the release packages and checks them: the Debian package from build/,
# unpacked into a scratch root (the machine's own /usr is never touched), its
# program run through a cancelled dialogue and its manual page rendered without
# a warning; the arm64 Debian package from build-arm64/ and the Windows zip from
# build-windows/, each when its cross compiler is installed. Each .deb must pass
# lintian without an error or a warning. The packages are then gathered in
# build/release/ beside their SHA256SUMS, which sha256sum -c checks.
# Usage: scripts/package.sh  (BUILD_DIR, ARM64_BUILD_DIR, WINDOWS_BUILD_DIR override)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
winbuild="${WINDOWS_BUILD_DIR:-$root/build-windows}"
armbuild="${ARM64_BUILD_DIR:-$root/build-arm64}"

fail() { echo "package: FAIL: $*" >&2; exit 1; }

define() { sed -n "s/^#define $1 \"\(.*\)\"\$/\1/p" "$root/src/report/program.h"; }
title="$(define DRIVE_TEST_TITLE)"
version="$(define DRIVE_TEST_VERSION)"
[ -n "$title" ] && [ -n "$version" ] || fail "no title or version in src/report/program.h"

for tool in cpack dpkg-deb dpkg-shlibdeps mandoc groff man lintian sha256sum; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh test)"
done

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
release="$build/release"
packages=()

# lint DEB: an error or a warning of lintian fails the package; its notes do not.
lint() {
    local report
    report="$(lintian --fail-on error,warning "$1" 2>"$scratch/lintian.err")" ||
        fail "lintian $1: $report $(grep -v 'root privileges' "$scratch/lintian.err")"
}

# pack BUILD GENERATOR FILE: cpack's package FILE made afresh in BUILD.
pack() {
    rm -f "$3"
    (cd "$1" && cpack -G "$2" >/dev/null)
    [ -f "$3" ] || fail "cpack did not produce $3"
}

# --- Debian package -----------------------------------------------------------
echo "== Debian package"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2
deb="$build/drive-test_${version}_$(dpkg --print-architecture).deb"
pack "$build" DEB "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = drive-test ] || fail "package name: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "package version: $(field Version)"
[ "$(field Section)" = utils ] || fail "section: $(field Section)"
grep -q '^drive-test developers <.*@.*>$' <<<"$(field Maintainer)" || fail "maintainer: $(field Maintainer)"
grep -qF "$title" <<<"$(field Description)" || fail "description lacks the title"
# Computed by dpkg-shlibdeps from the libraries the binary links.
grep -q 'libc6 (>= ' <<<"$(field Depends)" || fail "dependencies not computed: $(field Depends)"

installed=(./usr/bin/drive-test ./usr/share/man/man1/drive-test.1.gz ./usr/share/doc/drive-test/copyright
           ./usr/share/doc/drive-test/changelog.gz ./usr/share/bash-completion/completions/drive-test)
contents="$(dpkg-deb -c "$deb")"
for path in "${installed[@]}"; do
    grep -q " $path\$" <<<"$contents" || fail "$path missing from the package"
done
lint "$deb"
packages+=("$deb")

dpkg -x "$deb" "$scratch/root"
program="$scratch/root/usr/bin/drive-test"
page="$scratch/root/usr/share/man/man1/drive-test.1.gz"

# The licence: Debian's copyright format, holding the whole text of LICENSE.
copyright="$scratch/root/usr/share/doc/drive-test/copyright"
grep -qx 'License: Expat' "$copyright" || fail "copyright file names no Expat (MIT) licence"
[ "$(sed -n 's/^ //; s/^\.$//; /^License: Expat$/,$p' "$copyright" | tail -n +2)" = \
  "$(tail -n +3 "$root/LICENSE")" ] || fail "copyright file does not hold LICENSE"

# The installed program: empty input cancels at the first question.
set +e
out="$(cd "$scratch" && printf '' | "$program" 2>"$scratch/stderr")"
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "installed program exited $rc on empty input, expected 1"
[ "$(head -n1 <<<"$out")" = "$title v$version" ] || fail "banner: $(head -n1 <<<"$out")"
grep -qxF "Test cancelled or configuration failed." <<<"$out" || fail "no cancellation line"
[ ! -s "$scratch/stderr" ] || fail "unexpected standard error: $(cat "$scratch/stderr")"
[ -z "$(find "$scratch" -maxdepth 1 -name '*.csv')" ] || fail "a cancelled run left a log"
[ "$("$program" --version | head -n1)" = "drive-test $version ($title)" ] ||
    fail "--version: $("$program" --version | head -n1)"

# The bash completion, in the package and in a plain install under a prefix.
completion=share/bash-completion/completions/drive-test
cmp -s "$root/docs/drive-test.bash-completion" "$scratch/root/usr/$completion" ||
    fail "the package's $completion differs from docs/drive-test.bash-completion"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmp -s "$root/docs/drive-test.bash-completion" "$scratch/prefix/$completion" ||
    fail "cmake --install puts no $completion under its prefix"

# The installed manual page: filled in, and silent under every renderer's checks.
zcat "$page" >"$scratch/drive-test.1"
! grep -n '@[A-Z_]*@' "$scratch/drive-test.1" || fail "unfilled placeholder in the manual page"
grep -q "^\.TH DRIVE\\\\-TEST 1 .*\"drive\\\\-test $version\"" "$scratch/drive-test.1" ||
    fail "manual page header lacks version $version"
lint="$(mandoc -T lint -W style "$page" 2>&1)" || true
[ -z "$lint" ] || fail "mandoc -T lint: $lint"
warn="$(groff -ww -man -z "$scratch/drive-test.1" 2>&1)"
[ -z "$warn" ] || fail "groff -ww: $warn"
warn="$(LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat man --warnings=w -l "$page" 2>&1 >"$scratch/man.txt")"
[ -z "$warn" ] || fail "man -l: $warn"
grep -q "^drive-test $version" "$scratch/man.txt" || fail "rendered page lacks its footer"
grep -q "EXIT STATUS" "$scratch/man.txt" || fail "rendered page is incomplete"
echo "ok: $deb ($(field Depends))"

# --- arm64 Debian package --------------------------------------------------------
echo "== arm64 Debian package"
if ! command -v aarch64-linux-gnu-g++ >/dev/null; then
    echo "skipped: the arm64 cross compiler is not installed (g++-aarch64-linux-gnu)"
else
    bash "$root/scripts/build-arm64.sh" "$armbuild" >/dev/null
    deb="$armbuild/drive-test_${version}_arm64.deb"
    pack "$armbuild" DEB "$deb"
    [ "$(field Architecture)" = arm64 ] || fail "architecture: $(field Architecture)"
    [ "$(field Version)" = "$version" ] || fail "arm64 package version: $(field Version)"
    # Worked out from the binary's own libraries: plain package names, versioned.
    grep -Eq '^libc6 \(>= [0-9.]+\)(, [a-z0-9+.-]+( \(>= [0-9.]+\))?)*$' <<<"$(field Depends)" ||
        fail "arm64 dependencies: $(field Depends)"
    ! grep -q -- -cross <<<"$(field Depends)" || fail "arm64 package depends on a cross package"
    contents="$(dpkg-deb -c "$deb")"
    for path in "${installed[@]}"; do
        grep -q " $path\$" <<<"$contents" || fail "$path missing from the arm64 package"
    done
    lint "$deb"
    packages+=("$deb")
    dpkg -x "$deb" "$scratch/arm64"
    program="$scratch/arm64/usr/bin/drive-test"
    machine="$(readelf -h "$program" | sed -n 's/^ *Machine: *//p')"
    [ "$machine" = AArch64 ] || fail "the arm64 package holds a $machine binary"
    qemu="$(command -v qemu-aarch64 || command -v qemu-aarch64-static)" || fail "no qemu-aarch64 (qemu-user)"
    set +e
    out="$(cd "$scratch" && printf '' | "$qemu" -L /usr/aarch64-linux-gnu "$program" 2>"$scratch/stderr")"
    rc=$?
    set -e
    [ "$rc" -eq 1 ] || fail "arm64 program exited $rc on empty input, expected 1"
    [ "$(head -n1 <<<"$out")" = "$title v$version" ] || fail "arm64 banner: $(head -n1 <<<"$out")"
    [ ! -s "$scratch/stderr" ] || fail "arm64 standard error: $(cat "$scratch/stderr")"
    echo "ok: $deb ($machine; $(field Depends))"
fi

# --- Windows zip ----------------------------------------------------------------
echo "== Windows zip"
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null &&
   ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
    echo "skipped: the mingw-w64 cross compiler is not installed (g++-mingw-w64-x86-64)"
else
    bash "$root/scripts/build-windows.sh" "$winbuild" >/dev/null
    zip="$winbuild/drive-test-$version-win64.zip"
    pack "$winbuild" ZIP "$zip"
    listing="$(cd "$scratch" && cmake -E tar tf "$zip")"
    for name in drive-test.exe README.txt LICENSE.txt; do
        grep -q "^drive-test-$version-win64/$name\$" <<<"$listing" || fail "$name missing from $zip"
    done
    mkdir "$scratch/zip"
    (cd "$scratch/zip" && cmake -E tar xf "$zip")
    [ "$(head -c2 "$scratch/zip/drive-test-$version-win64/drive-test.exe")" = MZ ] ||
        fail "drive-test.exe in the zip is not a Windows executable"
    [ "$(tr -d '\r' <"$scratch/zip/drive-test-$version-win64/LICENSE.txt")" = "$(cat "$root/LICENSE")" ] ||
        fail "LICENSE.txt in the zip differs from LICENSE"
    echo "ok: $zip"
    packages+=("$zip")
fi

# --- Checksums --------------------------------------------------------------------
echo "== SHA256SUMS"
rm -rf "$release"
mkdir -p "$release"
cp "${packages[@]}" "$release/"
(cd "$release" && sha256sum -- "${packages[@]##*/}" >SHA256SUMS && sha256sum --strict -c SHA256SUMS) ||
    fail "SHA256SUMS in $release"
[ "$(wc -l <"$release/SHA256SUMS")" -eq ${#packages[@]} ] || fail "SHA256SUMS misses a package"
echo "ok: $release/SHA256SUMS (${#packages[@]} packages)"
