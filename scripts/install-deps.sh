#!/usr/bin/env bash
# Installs what building and testing usbeth needs on Debian (run as root, or
# with sudo available). Does nothing when everything is already there.
set -euo pipefail
packages=(
  cmake g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libpcap-dev libcli11-dev libtomlplusplus-dev libfmt-dev
  g++-mingw-w64-i686-win32 mingw-w64-i686-dev binutils-mingw-w64-i686
  clang clang-format tshark iproute2 iputils-ping iperf3 valgrind python3
  libtcmalloc-minimal4
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -qq
echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo_cmd debconf-set-selections
$sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
