#!/usr/bin/env bash
# End-to-end checks of usbeth-sim that need tools outside the test runner, run
# by .ci/run as root:
#   (a) the default scenario's captures decode in tshark: the vendor register
#       requests (bRequest 0xF0/0xF1 with wValue, wIndex, wLength and data) in
#       the usbmon capture, the Ethernet frames in the wire capture;
#   (b) the live bridge: two network namespaces, one TAP in each, ping gets
#       replies across and iperf3 moves data through the driver, at each bus
#       timing with the wire at 100 Mb/s, with neither bus nor wire limited
#       (also with TAPs that carry single frames, without offloads), and
#       through the plain TAP-to-TAP forwarder for comparison.
# Set USBETH_BRIDGE_SECONDS to change the iperf3 run length (default 4), and
# USBETH_BRIDGE_ONLY to a regular expression to measure only the bridge runs
# whose labels match it, and USBETH_BRIDGE_IPERF_ARGS to give iperf3's client
# more arguments (-R: the data flows from the wire's side to the NDIS side).
set -euo pipefail
cd "$(dirname "$0")/.."

SIM=${USBETH_SIM:-build/default/tools/sim/usbeth-sim}
OUT=${USBETH_CI_OUT:-build/ci-extra}
SECONDS_PER_RUN=${USBETH_BRIDGE_SECONDS:-4}
mkdir -p "$OUT"
# Absolute: iperf3 -D changes to / before it opens its log file.
OUT=$(cd "$OUT" && pwd)

need() {
  command -v "$1" >/dev/null 2>&1 && return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing $2"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$2" >/dev/null
  fi
  command -v "$1" >/dev/null 2>&1
}

if [ ! -x "$SIM" ]; then
  echo "ci-extra: $SIM is missing; build with: cmake --preset default && cmake --build --preset default"
  exit 1
fi

# ---- (a) captures -----------------------------------------------------------
echo "-- captures of the default scenario"
"$SIM" --quiet --usb-pcap "$OUT/default.usb.pcap" --wire-pcap "$OUT/default.wire.pcap" \
  --events "$OUT/default.jsonl" --svg "$OUT/default.svg"
if ! need tshark tshark; then
  echo "ci-extra: tshark is not available; the capture check cannot run"
  exit 1
fi
vendor=$(tshark -r "$OUT/default.usb.pcap" \
  -Y 'usb.setup.bRequest == 0xf1 || usb.setup.bRequest == 0xf0' \
  -T fields -e usb.setup.bRequest -e usb.setup.wValue -e usb.setup.wIndex \
  -e usb.setup.wLength -e usb.data_fragment 2>/dev/null)
writes=$(grep -c '^241' <<<"$vendor" || true)
reads=$(grep -c '^240' <<<"$vendor" || true)
with_data=$(awk -F'\t' '$1 == 241 && $5 != ""' <<<"$vendor" | wc -l)
echo "usbmon capture: $reads register reads (0xF0), $writes register writes (0xF1), $with_data writes with data"
echo "first register writes (bRequest, wValue, wIndex, wLength, data):"
# sed reads to the end: head would leave grep writing into a closed pipe, and
# under pipefail its SIGPIPE would end the script.
grep '^241' <<<"$vendor" | sed -n '1,5s/^/  /p'
[ "$writes" -gt 0 ] && [ "$reads" -gt 0 ] && [ "$with_data" -gt 0 ]
# The station address written to registers 0x10..0x15 at bring-up.
grep -qP '^241\t0x0000\t16\t6\t006008123456' <<<"$vendor" ||
  { echo "ci-extra: the station address write was not decoded"; exit 1; }
frames=$(tshark -r "$OUT/default.wire.pcap" -Y 'eth.type == 0x88b5' -T fields -e eth.src 2>/dev/null | wc -l)
station_frames=$(tshark -r "$OUT/default.wire.pcap" -Y 'eth.src == 00:60:08:12:34:56' -T fields -e frame.number 2>/dev/null | wc -l)
echo "wire capture: $frames test frames decoded, $station_frames sent by the station"
[ "$frames" -gt 0 ] && [ "$station_frames" -gt 0 ]

# ---- (b) the live bridge -----------------------------------------------------
echo "-- live bridge between two network namespaces"
if [ ! -c /dev/net/tun ]; then
  echo "SKIPPED: /dev/net/tun is not available on this machine"
  exit 0
fi
if ! ip netns add usbeth-probe 2>/dev/null; then
  echo "SKIPPED: network namespaces cannot be created here (ip netns add failed)"
  exit 0
fi
ip netns del usbeth-probe
need ping iputils-ping
need iperf3 iperf3 || { echo "ci-extra: iperf3 is not available"; exit 1; }

# Names can be changed so that two runs on one machine keep apart.
NS_A=${USBETH_NS_A:-usbeth-a} NS_B=${USBETH_NS_B:-usbeth-b}
TAP_A=${USBETH_TAP_A:-ue-ndis} TAP_B=${USBETH_TAP_B:-ue-wire}
bridge_pid=""
cleanup() {
  [ -n "$bridge_pid" ] && kill "$bridge_pid" 2>/dev/null && wait "$bridge_pid" 2>/dev/null || true
  ip netns del $NS_A 2>/dev/null || true
  ip netns del $NS_B 2>/dev/null || true
  ip link del $TAP_A 2>/dev/null || true
  ip link del $TAP_B 2>/dev/null || true
}
trap cleanup EXIT

# One measurement: start the bridge, put its TAPs in the namespaces, ping and
# run iperf3, stop the bridge. Prints "label rtt_avg_ms throughput_mbps".
measure() {
  local label=$1; shift
  if [ -n "${USBETH_BRIDGE_ONLY:-}" ] && ! grep -qE "$USBETH_BRIDGE_ONLY" <<<"$label"; then
    return 0
  fi
  cleanup
  ip netns add $NS_A
  ip netns add $NS_B
  "$SIM" bridge --tap-ndis $TAP_A --tap-wire $TAP_B "$@" >"$OUT/bridge-$label.log" 2>&1 &
  bridge_pid=$!
  # The line that says it runs (its errors start with "bridge:" too).
  local started='^bridge: .*(<->|directly)'
  for _ in $(seq 1 200); do
    grep -qE "$started" "$OUT/bridge-$label.log" 2>/dev/null && break
    kill -0 $bridge_pid 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -qE "$started" "$OUT/bridge-$label.log"; then
    echo "ci-extra: the bridge ($label) did not start:"; cat "$OUT/bridge-$label.log"; return 1
  fi
  ip link set $TAP_A netns $NS_A
  ip link set $TAP_B netns $NS_B
  ip -n $NS_A addr add 10.199.0.1/24 dev $TAP_A
  ip -n $NS_B addr add 10.199.0.2/24 dev $TAP_B
  ip -n $NS_A link set $TAP_A up
  ip -n $NS_B link set $TAP_B up
  ip -n $NS_A link set lo up
  ip -n $NS_B link set lo up
  local ping_out rtt tput
  ping_out=$(ip netns exec $NS_A ping -c 10 -i 0.2 -W 2 10.199.0.2) ||
    { echo "ci-extra: no ping replies across the bridge ($label)"; echo "$ping_out"; cat "$OUT/bridge-$label.log"; return 1; }
  rtt=$(sed -n 's/.*= \([0-9.]*\)\/\([0-9.]*\)\/\([0-9.]*\)\/.*/\2/p' <<<"$ping_out")
  ip netns exec $NS_B iperf3 -s -1 -D --logfile "$OUT/iperf3-server-$label.log"
  sleep 0.5
  # shellcheck disable=SC2086
  ip netns exec $NS_A iperf3 -c 10.199.0.2 -t "$SECONDS_PER_RUN" ${USBETH_BRIDGE_IPERF_ARGS:-} -J \
    >"$OUT/iperf3-$label.json" ||
    { echo "ci-extra: iperf3 failed across the bridge ($label)"; cat "$OUT/iperf3-$label.json"; return 1; }
  tput=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print("%.2f" % (d["end"]["sum_received"]["bits_per_second"]/1e6) if "sum_received" in d["end"] else "0")' "$OUT/iperf3-$label.json")
  if grep -q '"error"' "$OUT/iperf3-$label.json"; then
    echo "ci-extra: iperf3 failed across the bridge ($label):"; grep '"error"' "$OUT/iperf3-$label.json"
    cat "$OUT/iperf3-server-$label.log" 2>/dev/null; return 1
  fi
  kill $bridge_pid; wait $bridge_pid || true; bridge_pid=""
  if ! grep -q 'nothing leaked\|bridge stopped' "$OUT/bridge-$label.log"; then
    echo "ci-extra: the bridge ($label) did not stop cleanly:"; cat "$OUT/bridge-$label.log"; return 1
  fi
  python3 -c 'import sys; sys.exit(0 if float(sys.argv[1]) > 0 else 1)' "$tput" ||
    { echo "ci-extra: iperf3 moved no data ($label)"; return 1; }
  local dropped
  dropped=$(sed -n 's/.*dropped for resources: \([0-9]*\).*/\1/p' "$OUT/bridge-$label.log")
  printf '%-22s ping avg %8s ms   iperf3 TCP %9s Mb/s   dropped for resources %s\n' \
    "$label" "$rtt" "$tput" "${dropped:--}" | tee -a "$OUT/bridge-figures.txt"
}

: >"$OUT/bridge-figures.txt"
measure direct --direct
DEEP="--registry TxQueueDepth=4 --registry RxQueueDepth=4"
measure driver-no-limits --bus unthrottled --wire unlimited
measure driver-no-limits-deep --bus unthrottled --wire unlimited $DEEP
measure driver-no-limits-frames --bus unthrottled --wire unlimited --no-offloads
measure driver-unthrottled --bus unthrottled
measure driver-high --bus high
measure driver-high-deep --bus high $DEEP
measure driver-full --bus full
echo "-- bridge figures (also in $OUT/bridge-figures.txt)"
cat "$OUT/bridge-figures.txt"
