#!/usr/bin/env bash
# The quick start's demo: a virtual CAN bus (kr_hub) on a free loopback port with two simulated
# devices (kr_simdev); krcan searches the bus and reads a device's name over SDO. Everything it
# starts is stopped again, also when a step fails or on Ctrl-C.
#
#   tools/demo.sh [TREE]                 the demo (TREE: the build tree, default build-release)
#   tools/demo.sh [TREE] --keep          the demo bus for the README's examples, until Ctrl-C
#       [--port N]                       the bus's port (default 29536, socketcand's own; 0: any free one)
#       [--dump-dir DIR]                 each device's state is written there when the bus stops
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
tree=build-release
keep=0
port_wanted=29536
dump_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --keep) keep=1 ;;
    --port) port_wanted="${2:-}"; shift ;;
    --dump-dir) dump_dir="$(realpath -m "${2:-}")"; shift ;;
    -*) echo "demo: unknown option '$1'" >&2; exit 1 ;;
    *) tree="$1" ;;
  esac
  shift
done
tree="$(realpath "$tree")"
bin="$tree/krcan"
hub="$tree/kr_hub"
simdev="$tree/kr_simdev"
for p in "$bin" "$hub" "$simdev"; do
  if [ ! -x "$p" ]; then
    echo "demo: $p is missing; build it with 'make release'." >&2
    exit 1
  fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/krcan_demo.XXXXXX")"
pids=()
# The devices go before the bus, so that none of them loses its connection while it runs.
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null
    wait "${pids[i]}" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "demo: interrupted" >&2; exit 130' TERM
if [ "$keep" = 1 ]; then
  trap 'echo; echo "Stopping the demo bus."; exit 0' INT
else
  trap 'echo "demo: interrupted" >&2; exit 130' INT
fi

# Waits up to 10 s for a line in a program's output file; prints it.
first_line() {
  local file="$1" pid="$2" line=""
  for _ in $(seq 100); do
    line="$(head -n 1 "$file" 2>/dev/null)"
    if [ -n "$line" ]; then
      echo "$line"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  return 1
}

fail() {
  echo "demo: $*" >&2
  exit 1
}

cd "$work" || fail "cannot enter $work"

start_hub() {
  "$hub" --port "$1" --quiet >hub.out 2>hub.err &
  pids+=($!)
  port="$(first_line hub.out "${pids[-1]}")"
}

# start_device NAME NODE ARGS...: one simulated device, ready once it has booted.
start_device() {
  local name="$1" node="$2"
  shift 2
  local dump=()
  [ -n "$dump_dir" ] && dump=(--dump "$dump_dir/node-$node.dump")
  # Its messages stay in the work folder: a terminal's Ctrl-C reaches the bus and the devices at once,
  # and a device that outlives the bus by a moment would only say that its connection closed.
  "$simdev" --port "$port" --node "$node" "${dump[@]}" "$@" >"$name.out" 2>"$name.err" &
  pids+=($!)
  if [ "$(first_line "$name.out" "${pids[-1]}")" != ready ]; then
    cat "$name.err" >&2
    fail "the simulated device at node $node did not start"
  fi
}

if [ "$keep" = 1 ]; then
  [ -n "$dump_dir" ] && { mkdir -p "$dump_dir" || fail "cannot make $dump_dir"; }
  start_hub "$port_wanted"
  if [ -z "$port" ] && [ "$port_wanted" != 0 ]; then
    echo "demo: port $port_wanted is taken; the bus takes a free one." >&2
    unset 'pids[-1]'
    start_hub 0
  fi
  [ -n "$port" ] || fail "the virtual bus did not start"
  # What the README's examples use: a CiA 302 bootloader (0x10, 0x20), the maker's (0x40), media
  # objects on the display, the example database's parameters, 0x5FF7 and 0x1016.
  # Each starts itself (OPERATIONAL after every boot-up), as the maker's devices do.
  start_device motor 0x10 --product 0x0100 --name "Demo motor controller" --operational --autostart --canif 3 \
    --bootloader cia302 --dict "$here/demo/motor.dict"
  start_device display 0x20 --product 0x0200 --name "Demo display" --operational --autostart --media-block 64 \
    --bootloader cia302 --dict "$here/demo/display.dict"
  start_device pump 0x40 --product 0x0300 --name "Demo pump" --operational --autostart --bootloader kr \
    --dict "$here/demo/common.dict"
  url="socketcand://127.0.0.1:$port/vcan0"
  [ "$port" = 29536 ] && url="socketcand://127.0.0.1/vcan0"
  echo "Demo bus on 127.0.0.1:$port (bus vcan0) with simulated devices:"
  echo "  node 0x10  Demo motor controller  CiA 302 bootloader, the parameters of examples/motor.json"
  echo "  node 0x20  Demo display           CiA 302 bootloader, media objects"
  echo "  node 0x40  Demo pump              the maker's bootloader"
  echo "Run the README's examples from the source folder with -c $url in place of -c can0:"
  echo "  krcan -c $url --find"
  echo "Press Ctrl-C to stop the bus and the devices."
  # Until Ctrl-C, or until one of them ends by itself.
  wait -n "${pids[@]}"
  fail "a program of the demo bus stopped by itself"
fi

start_hub 0
[ -n "$port" ] || fail "the virtual bus did not start"
channel="socketcand://127.0.0.1:$port/vcan0"
echo "Virtual CAN bus on 127.0.0.1:$port (bus vcan0)"

start_device motor 0x10 --product 0x0100 --name "Demo motor controller"
start_device display 0x20 --product 0x0200 --name "Demo display"
echo "Simulated devices at node 0x10 and node 0x20"
echo

run() {
  echo "\$ krcan $*"
  "$bin" "$@" || fail "krcan $* failed (status $?)"
  echo
}

run --can "$channel" --find
run --can "$channel" --nodeid 0x10 --mindex 0x5FFF --sdoreadstr
echo "Demo finished."
