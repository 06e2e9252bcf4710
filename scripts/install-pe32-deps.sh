#!/usr/bin/env bash
# Installs what the 32-bit host build that loads usbeth.sys needs (preset
# pe32) on Debian, beside what scripts/install-deps.sh installs: the multilib
# toolchain, the i386 development packages of the libraries the host links,
# and qemu-user, which runs its programs on kernels without 32-bit process
# support. Does nothing when everything is already there.
set -euo pipefail
packages=(g++-multilib libgtest-dev:i386 libgmock-dev:i386 libpcap0.8-dev:i386
          libtomlplusplus-dev:i386 qemu-user)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
dpkg --print-foreign-architectures | grep -qx i386 || $sudo_cmd dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -qq
$sudo_cmd apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}"
