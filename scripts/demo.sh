#!/usr/bin/env bash
# The main job: builds the library, starts a throwaway SSH/SFTP server on 127.0.0.1, and runs a
# host program that connects through the component, lists a directory, uploads and downloads a
# file with a progress line, and shows the result. The server is stopped by its pid at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target demo sftp_demo >/dev/null

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

./build/examples/demo
echo

mkdir -p "$work/root" "$work/local"
ssh-keygen -q -t rsa -b 2048 -N '' -f "$work/host_rsa" >/dev/null
password="demo-$RANDOM$RANDOM"
: >"$work/server.out"
/usr/bin/python3 tests/interop/servers/asyncssh_server.py --host-key "$work/host_rsa" \
  --sftp-root "$work/root" --username demo --password "$password" --auth password \
  >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
port=""
for _ in $(seq 1 300); do
  port=$(sed -n 's/^VELUNOR-ASYNCSSH-READY port=\([0-9]*\).*/\1/p' "$work/server.out")
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "the demo server did not start:" >&2
  cat "$work/server.err" >&2
  exit 1
fi
echo "demo server on 127.0.0.1:$port (pid $server_pid)"
./build/examples/sftp_demo 127.0.0.1 "$port" demo "$password" "$work/local"
