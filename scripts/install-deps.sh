#!/usr/bin/env bash
# Installs the Debian packages a fresh machine lacks; does nothing when all are present.
# Usage: scripts/install-deps.sh [build|test]
set -euo pipefail
build_pkgs=(cmake g++ make pkg-config)
test_pkgs=(libgtest-dev libbenchmark-dev libfuse3-dev fuse3 tmux e2fsprogs dosfstools
           util-linux fio time g++-mingw-w64-x86-64 wine wine64 mandoc groff-base
           dpkg-dev man-db lintian bash-completion g++-aarch64-linux-gnu qemu-user
           librsvg2-bin libxml2-utils fusefat exfat-fuse exfatprogs btrfs-progs fdisk)
want=("${build_pkgs[@]}")
[ "${1:-build}" = test ] && want+=("${test_pkgs[@]}")
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "Installing: ${missing[*]}"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" </dev/null
