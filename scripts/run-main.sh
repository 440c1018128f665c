#!/usr/bin/env bash
# The main job: the plug-in's relay, end to end. The substitute host (vc_host) loads the plug-in
# library as the Horizon Client would, the channel connects to the far end (stl_peer, the
# application in the virtual desktop, which speaks the session transport), the plug-in launches
# the media bridge (the MediaBridge stand-in, which echoes), and the far end's data goes
#   stl_peer -> channel -> session -> bridge -> TCP -> MediaBridge (echo) -> ... -> stl_peer
# and is checked byte for byte when it comes back. Exit status 0 only when all of it worked.
#
# Usage: scripts/run-main.sh [BUILD_DIR]      (RELAY_BYTES=<n> sets how much data goes round)
set -uo pipefail

build=${1:-build}
bytes=${RELAY_BYTES:-4000000}
limit_ms=60000

plugin=$build/src/VMware/libYrTnVMwarePlugin.so
mediabridge=$build/src/VMware/MediaBridge
vchost=$build/tools/vc_host/vc_host
stlpeer=$build/tools/stl_peer/stl_peer

fail() {
  echo "FAIL: $*"
  exit 1
}

for f in "$plugin" "$mediabridge" "$vchost" "$stlpeer"; do
  [[ -x $f || -f $f ]] || fail "not built: $f (build the tree first)"
done

# The plug-in finds its configuration and the media bridge next to its own file: install both into
# a folder of this run, with a configuration that logs there.
dir=$(mktemp -d /tmp/yr-run-main-XXXXXX)
host_pid=
cleanup() {
  [[ -n $host_pid ]] && kill "$host_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
cp "$plugin" "$mediabridge" "$dir/"
mkdir "$dir/logs"
# The shipped configuration: Warning and above, so that a long media session does not fill the disk.
printf 'LogToFile=1\nLogFolder=logs\nLogLevel=5\n' >"$dir/config.ini"
export YR_MEDIABRIDGE_LOG=$dir/mediabridge.txt
# The host unloads the library at its end; a sanitizer build would report the library's
# process-long objects as leaks then (see tests/VMware/RelayEndToEndTest.cpp).
export ASAN_OPTIONS=detect_leaks=0

now_ms() { date +%s%3N; }

coproc HOST { "$vchost" 2>"$dir/vc_host.err"; }
host_pid=$HOST_PID
# Sends one command and reads its answer (bounded).
ask() {
  echo "$1" >&"${HOST[1]}" || fail "vc_host is gone (command '$1'); see its errors: $(tail -3 "$dir/vc_host.err")"
  local answer
  IFS= read -r -t $((limit_ms / 1000 + 5)) answer <&"${HOST[0]}" || fail "no answer to '$1'"
  echo "$answer"
}
expect() {
  local answer
  answer=$(ask "$1")
  [[ $answer == "$2" ]] || fail "'$1' answered '$answer', expected '$2'"
}

echo "Relay end to end ($build, $bytes bytes)"
expect "load $dir/libYrTnVMwarePlugin.so" "load ok"
expect "entry" "entry 1"
reg=$(ask "registration")
echo "  plug-in loaded, VirtualChannelEntry TRUE, ${reg#registration }"
expect "initialized" "ok"
expect "peer $stlpeer --send $bytes" "peer ok"
start=$(now_ms)
expect "connect" "ok"
expect "wait-peer $limit_ms connected" "wait-peer ok"
echo "  channel open, far-end session connected"
answer=$(ask "wait-peer $limit_ms verified $bytes")
end=$(now_ms)
launch=$(grep -m1 '^start ' "$YR_MEDIABRIDGE_LOG" 2>/dev/null | sed 's/^start //; s/ pid .*//')
[[ -n $launch ]] && echo "  media bridge launched: MediaBridge $launch"
if [[ $answer != "wait-peer ok" ]]; then
  grep -h -E '^(mismatch|data|disconnected)' "$dir/vc_host.err" | head -3
  fail "the far end did not get its $bytes bytes back"
fi
ms=$((end - start))
((ms > 0)) || ms=1
rate=$(awk -v b="$bytes" -v ms="$ms" 'BEGIN { printf "%.1f", b / 1048576 / (ms / 1000) }')
echo "  $bytes bytes far end -> channel -> session -> bridge -> TCP -> MediaBridge -> and back:"
echo "    verified byte-exact in ${ms} ms from connect (${rate} MiB/s each way)"
stats=$(ask "stats")
echo "  channel writes: ${stats#stats }"
[[ $stats == *" refused=0 "* && $stats == *" cancelled=0 "* ]] || fail "writes were refused or cancelled"
expect "problems" "problems 0"
expect "terminate" "ok"
expect "stop-peer" "stop-peer 0"
echo "quit" >&"${HOST[1]}"
exec {HOST[1]}>&-
wait "$host_pid"
rc=$?
host_pid=
((rc == 0)) || fail "vc_host ended with exit code $rc: $(tail -3 "$dir/vc_host.err")"

# The media bridge ends when the plug-in closes its connection.
for _ in $(seq 50); do
  grep -q '^end ' "$YR_MEDIABRIDGE_LOG" && break
  sleep 0.1
done
ended=$(grep -m1 '^end ' "$YR_MEDIABRIDGE_LOG" | sed 's/^end //; s/ pid .*//')
[[ -n $ended ]] || fail "the media bridge did not end"
echo "  shut down: plug-in terminated, host exit 0, media bridge ended ($ended)"
echo "PASS"
