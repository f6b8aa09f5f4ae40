#!/usr/bin/env bash
# Builds rpcset alone (release preset: no tests, no GoogleTest), starts the demo
# provisioning server on a free loopback port, sends it one boot and one dhcp
# call, shows what the server received, stops the server and says where rpcset is.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release >/dev/null
cmake --build --preset release --target rpcset >/dev/null
rpcset=build/release/tool/rpcset

received=$(mktemp)
python3 -u examples/provision_server.py 0 >"$received" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true; rm -f "$received"' EXIT

port=
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1 port //p' "$received")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the demo server did not start" >&2; exit 1; }

run() {
  echo "\$ rpcset --fail $*"
  "$rpcset" --fail "$@" && echo "(exit status 0: the call succeeded)"
}
run 127.0.0.1 "$port" boot 00:11:22:33:44:55 pxe-image
run 127.0.0.1 "$port" dhcp 00:11:22:33:44:55 2 10.0.0.42

echo
echo "The server received:"
sed '1d' "$received"

echo
echo "rpcset is built at $rpcset; try $rpcset --help."
