#!/usr/bin/env bash
# Runs one command against a fresh Linux emulator: starts pelox-emulator on a
# free loopback port with a temporary root seeded with its samples (the user
# "tester" logs in with "secret"), replaces @LOCATOR@ in the command's
# arguments with its locator URL, runs the command (a Windows program under
# Wine, for instance) and stops the emulator. Exits with the command's status.
#   run_with_emulator.sh EMULATOR COMMAND [ARGUMENT ...]
set -euo pipefail
emulator="$1"
shift
[ -x "$emulator" ] || { echo "run_with_emulator: $emulator is missing: build the Linux tree first (scripts/test)" >&2; exit 1; }

dir="$(mktemp -d "${TMPDIR:-/tmp}/pelox-wine-XXXXXX")"
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$emulator" --root "$dir/root" --port 0 --password secret >"$dir/out" 2>"$dir/err" &
pid=$!
port=""
for _ in $(seq 1 200); do
  port="$(head -n 1 "$dir/out" 2>/dev/null | tr -dc '0-9')"
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
[ -n "$port" ] || { echo "run_with_emulator: the emulator did not start:" >&2; cat "$dir/err" >&2; exit 1; }

locator="http://127.0.0.1:$port/qorvane/locator"
args=()
for a in "$@"; do args+=("${a//@LOCATOR@/$locator}"); done
status=0
"${args[@]}" || status=$?
exit "$status"
