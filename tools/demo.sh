#!/usr/bin/env bash
# The quick start's demo: a virtual CAN bus (kr_hub) on a free loopback port with two simulated
# devices (kr_simdev); krcan searches the bus and reads a device's name over SDO. Everything it
# starts is stopped again, also when a step fails or on Ctrl-C.
set -uo pipefail

tree="$(realpath "${1:-build-release}")"
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
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "demo: interrupted" >&2; exit 130' INT TERM

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

"$hub" --port 0 --quiet >hub.out &
pids+=($!)
port="$(first_line hub.out "${pids[-1]}")" || fail "the virtual bus did not start"
channel="socketcand://127.0.0.1:$port/vcan0"
echo "Virtual CAN bus on 127.0.0.1:$port (bus vcan0)"

"$simdev" --port "$port" --node 0x10 --product 0x0100 --name "Demo motor controller" >motor.out &
pids+=($!)
[ "$(first_line motor.out "${pids[-1]}")" = ready ] || fail "the simulated device at node 0x10 did not start"
"$simdev" --port "$port" --node 0x20 --product 0x0200 --name "Demo display" >display.out &
pids+=($!)
[ "$(first_line display.out "${pids[-1]}")" = ready ] || fail "the simulated device at node 0x20 did not start"
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
