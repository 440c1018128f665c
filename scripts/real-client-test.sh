#!/usr/bin/env bash
# The plug-in inside the real RDP client, on this machine only. An RDP server (xrdp with
# xrdp-sesman and an Xvnc session) and the client that Linux users run (FreeRDP's xfreerdp, under
# Xvfb) talk over 127.0.0.1; xfreerdp loads the plug-in by its add-in name (/vc:YrTnVCh loads
# libYrTnVCh-client.so from FreeRDP's add-in folder), and inside the RDP session the far-end peer
# (stl_peer on xrdp's channel API) runs the session server:
#   stl_peer -> xrdp channel -> xfreerdp -> plug-in -> MediaBridge (echo) -> ... -> stl_peer
# Steps: relay 12, 1500, 5000 and 70000 bytes and a 4 MB stream byte-exact, with throughput and the
# 64-byte round trip measured; kill and restart xrdp so that the client reconnects by itself, relay
# again; run the plug-in's echo entry in a second client; shut everything down.
#
# Everything runs in private namespaces: a network namespace with only loopback, a PID namespace
# (nothing it started outlives it) and a mount namespace whose mounts put the add-in link, xrdp's
# configuration, the session user, /run and /tmp into the temp folder, so that nothing outside the
# temp folder is written. The temp folder is removed on PASS and kept, with its logs, on FAIL.
#
# Usage: scripts/real-client-test.sh [BUILD_DIR]    (a build without sanitizers, default: build)
# Exit status: 0 PASS, 1 FAIL, 77 SKIP (not root, or packages missing: scripts/install-deps.sh).
set -uo pipefail

readonly channel=YrTnVCh
readonly addin_dir=/usr/lib/x86_64-linux-gnu/freerdp2
readonly xrdpapi=/usr/lib/x86_64-linux-gnu/xrdp/libxrdpapi.so.0
readonly rdp_port=3389
readonly client_display=:90
readonly total_limit=420 # seconds for everything inside the namespaces

# ------------------------------------------------------------------------------------------------
# Inside the namespaces (the script runs itself with --inner).

inner() {
  local dir=$1
  local logs=$dir/logs
  local user=yrtnrc pass uid
  local peer=$dir/bin/stl_peer
  local xvfb_pid= sesman_pid= xrdp_pid= client_pid= display= opened=0

  fail() {
    echo "FAIL: $*"
    exit 1
  }
  step() { echo "  $*"; }
  # Waits for a command to succeed: wait_for SECONDS WHAT COMMAND...
  wait_for() {
    local limit=$1 what=$2
    shift 2
    local end=$((SECONDS + limit))
    until "$@"; do
      ((SECONDS < end)) || fail "timed out after ${limit}s waiting for $what"
      sleep 0.2
    done
  }
  alive() { kill -0 "$1" 2>/dev/null; }
  stop() { # stop PID...: TERM, then KILL after 5 s
    local p
    for p in "$@"; do [[ -n $p ]] && kill "$p" 2>/dev/null; done
    for p in "$@"; do
      [[ -n $p ]] || continue
      for _ in $(seq 50); do alive "$p" || break; sleep 0.1; done
      alive "$p" && kill -9 "$p" 2>/dev/null
      wait "$p" 2>/dev/null
    done
    return 0
  }

  ip link set lo up || fail "no loopback in the network namespace"

  # Scratch for the mounts (gone with the namespace).
  mkdir -p "$dir/ns" && mount -t tmpfs -o mode=755 yr-scratch "$dir/ns" || fail "tmpfs"
  overlay() { # overlay TARGET NAME: TARGET stays readable, what is written goes to the scratch
    mkdir -p "$dir/ns/$2-up" "$dir/ns/$2-work"
    mount -t overlay "yr-$2" -o "lowerdir=$1,upperdir=$dir/ns/$2-up,workdir=$dir/ns/$2-work" "$1" ||
      fail "overlay on $1"
  }
  overlay /run run
  overlay /var/lib/xkb xkb # the X servers' compiled keymaps
  # A private /tmp for the X servers' sockets and locks; the temp folder itself stays in place.
  mkdir -p /run/yr-dir && mount --bind "$dir" /run/yr-dir &&
    mount -t tmpfs -o mode=1777 yr-tmp /tmp && mkdir -p "$dir" && mount --bind /run/yr-dir "$dir" ||
    fail "private /tmp"

  # The plug-in by its add-in name: FreeRDP's add-in folder gets a link to the library, whose
  # config.ini and MediaBridge lie beside the real file.
  mkdir -p "$dir/ns/lib-up/freerdp2"
  ln -s "$dir/plugin/libYrTnVMwarePlugin.so" "$dir/ns/lib-up/freerdp2/lib$channel-client.so"
  overlay "$(dirname "$addin_dir")" lib

  # The session user, in copies of the account files.
  for ((uid = 61000 + RANDOM % 2000; ; uid++)); do
    getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null || break
  done
  pass=$(openssl rand -hex 12)
  mkdir -p "$dir/home" "$dir/accounts"
  chown "$uid:$uid" "$dir/home"
  cp /etc/passwd /etc/shadow /etc/group "$dir/accounts/"
  echo "$user:x:$uid:$uid:YrTn real-client test:$dir/home:/bin/sh" >>"$dir/accounts/passwd"
  echo "$user:$(openssl passwd -6 "$pass"):20000:0:99999:7:::" >>"$dir/accounts/shadow"
  echo "$user:x:$uid:" >>"$dir/accounts/group"
  for f in passwd shadow group; do mount --bind "$dir/accounts/$f" "/etc/$f" || fail "bind /etc/$f"; done

  # xrdp's configuration (its programs read /etc/xrdp, sesman's port included).
  cp -a /etc/xrdp "$dir/etc-xrdp"
  write_xrdp_config "$dir" "$logs"
  mount --bind "$dir/etc-xrdp" /etc/xrdp || fail "bind /etc/xrdp"
  mkdir -p /run/xrdp/sockdir && chown root:xrdp /run/xrdp /run/xrdp/sockdir &&
    chmod 2775 /run/xrdp && chmod 3777 /run/xrdp/sockdir

  echo "Real client: xfreerdp $(dpkg-query -W -f='${Version}' freerdp2-x11 2>/dev/null)," \
    "server: xrdp $(dpkg-query -W -f='${Version}' xrdp 2>/dev/null)"

  start_server() {
    xrdp --nodaemon >>"$logs/xrdp.out" 2>&1 &
    xrdp_pid=$!
    wait_for 20 "xrdp to listen" listening
  }
  listening() { ss -Hltn "sport = :$rdp_port" | grep -q .; }

  start_client() {
    HOME=$dir/client-home DISPLAY=$client_display YR_MEDIABRIDGE_LOG=$logs/mediabridge.txt \
      xfreerdp /v:127.0.0.1:$rdp_port /u:$user /p:"$pass" /sec:tls /cert:ignore /size:800x600 /bpp:16 \
      /vc:$channel /auto-reconnect /auto-reconnect-max-retries:20 >>"$logs/xfreerdp.log" 2>&1 &
    client_pid=$!
    opened=$(count_plugin "VirtualChannelOpen '$channel' OK")
  }
  count_plugin() { cat "$dir"/plugin/logs/* 2>/dev/null | grep -c -F "$1"; }
  plugin_open() {
    alive "$client_pid" || fail "xfreerdp ended: $(tail -5 "$logs/xfreerdp.log")"
    (($(count_plugin "VirtualChannelOpen '$channel' OK") > opened))
  }
  plugin_entry_line() { cat "$dir"/plugin/logs/* | grep -o 'Entry: [A-Za-z]*' | tail -1; }
  # FreeRDP reconnects inside its transport, without a log line of its own at the default level:
  # the plug-in's next CONNECTED (its open answered "still open") tells.
  reconnected() {
    alive "$client_pid" || fail "xfreerdp ended: $(tail -5 "$logs/xfreerdp.log")"
    (($(count_plugin "VirtualChannelOpen '$channel'") > $1))
  }
  media_bridges_ended() {
    (($(grep -c '^start ' "$logs/mediabridge.txt") == $(grep -c '^end ' "$logs/mediabridge.txt")))
  }
  # run_peer NAME SECONDS ARGS...: the far-end peer inside the session, as its user.
  run_peer() {
    local name=$1 limit=$2 rc end=$((SECONDS + 30))
    shift 2
    local out=$logs/peer-$name
    while :; do
      timeout --kill-after=5 "$limit" setpriv --reuid="$uid" --regid="$uid" --clear-groups \
        env -i HOME="$dir/home" DISPLAY="$display" PATH=/usr/bin:/bin \
        "$peer" --link "xrdp:$channel" "$@" >"$out.out" 2>"$out.err"
      rc=$?
      # The session's channel server may still be starting, or may not yet know the channel of a
      # new connection (it then closes the channel at once).
      if ((rc != 0 && SECONDS < end)) && { grep -q '^channel open failed' "$out.err" ||
        { grep -q -E '^channel (closed|write failed)' "$out.err" && ! grep -q -E '^(connected|mismatch)' "$out.err"; }; }; then
        cat "$out.err" >>"$out.retried"
        sleep 0.5
        continue
      fi
      break
    done
    ((rc == 0)) || fail "peer '$name' ended with $rc: $(tail -3 "$out.err" | tr '\n' ' ')"
  }
  report_relay() {
    local err=$logs/peer-$1.err n us
    for n in 12 1500 5000 70000 4000000; do
      grep -q "^verified $n\$" "$err" || fail "$n bytes did not come back"
      us=$(awk -v n="$n" '$1 == "round" && $2 == n { print $4 }' "$err")
      step "$n bytes relayed byte-exact in $us us"
    done
    step "4 MB stream: $(awk -v us="$us" 'BEGIN { printf "%.2f", 4000000 / us }') MB/s each way" \
      "(4000000 bytes out and the same back at once, in $((us / 1000)) ms)"
    step "$(grep '^rtt ' "$err")"
  }

  Xvfb "$client_display" -screen 0 1024x768x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
  xvfb_pid=$!
  xrdp-sesman --nodaemon >"$logs/sesman.out" 2>&1 &
  sesman_pid=$!
  wait_for 20 "xrdp-sesman" sesman_listening
  start_server
  wait_for 20 "Xvfb" test -e "/tmp/.X11-unix/X${client_display#:}"
  step "xrdp, xrdp-sesman and Xvfb up on 127.0.0.1"

  # The relay entry first.
  write_plugin_config "$dir" ""
  start_client
  wait_for 60 "the RDP session (login through PAM, Xvnc)" test -s "$dir/home/display"
  display=$(cat "$dir/home/display")
  step "RDP session up as $user on display $display"
  wait_for 30 "the plug-in's channel to open in xfreerdp" plugin_open
  step "channel $channel open in xfreerdp ($(plugin_entry_line))"

  run_peer relay1 120 --send 12,1500,5000,70000,4000000 --payload 70000 --rtt 1000
  report_relay relay1

  # Kill the server (SIGKILL: a server that ends in order logs the user off, and the client does
  # not come back): the client reconnects by itself, the session comes back.
  local conn
  conn=$(pgrep -P "$xrdp_pid")
  kill -9 "$xrdp_pid" $conn
  wait "$xrdp_pid" 2>/dev/null
  step "xrdp killed (listener and connection process)"
  local before killed_at=$SECONDS
  before=$(count_plugin "VirtualChannelOpen '$channel'")
  start_server
  step "xrdp restarted"
  wait_for 60 "xfreerdp to reconnect" reconnected "$before"
  step "xfreerdp reconnected by itself, $((SECONDS - killed_at)) s after the kill"
  run_peer relay2 120 --send 70000,4000000 --payload 70000
  grep -q '^verified 4000000$' "$logs/peer-relay2.err" || fail "no relay after the reconnect"
  step "after the reconnect: 70000 and 4000000 bytes relayed byte-exact"
  stop "$client_pid"
  client_pid=
  wait_for 20 "the media bridge to end with its client" media_bridges_ended
  step "client ended, media bridges ended: $(grep -c '^end ' "$logs/mediabridge.txt") runs"

  # The echo entry, in a second client.
  write_plugin_config "$dir" "VMwareClientEntryPoint=VMwareEchoTest"
  start_client
  wait_for 60 "the second client's channel to open" plugin_open
  run_peer echo 60 --counters 10000
  wait_for 10 "the echo entry's report" grep -q 'Packet received, percent: 100' "$logs/xfreerdp.log"
  ! grep -q 'Test failed' "$logs/xfreerdp.log" || fail "the echo entry: $(grep -m1 'Test failed' "$logs/xfreerdp.log")"
  step "echo entry: 10000 counters echoed byte-exact, the plug-in saw them all in order"
  stop "$client_pid"
  client_pid=

  stop "$xrdp_pid" "$sesman_pid" "$xvfb_pid"
  # What is left belongs to the RDP session (its sesman process, Xvnc, chansrv, the window
  # manager) and is ended here; every process of this PID namespace is one the test started.
  local left
  ps -e -o pid=,ppid=,stat= >"$dir/ns/ps.txt" # run by this shell itself: ps is its only child
  left=$(awk -v me=$$ '$1 != 1 && $1 != me && $2 != me && $3 !~ /^Z/ { print $1 }' "$dir/ns/ps.txt")
  [[ -z $left ]] || stop $left
  step "server, session and client processes ended"
  echo "PASS"
}

sesman_listening() { ss -Hltn 'sport = :3350' | grep -q .; }

write_xrdp_config() {
  local dir=$1 logs=$2 etc=$1/etc-xrdp
  # Files of the copy may be links into the machine's configuration: never write through them.
  rm -f "$etc/rsakeys.ini" "$etc/xrdp.ini" "$etc/sesman.ini" "$etc/startwm.sh"
  # New names: the package's cert.pem and key.pem are links to the machine's own certificate.
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -keyout "$etc/test-key.pem" -out "$etc/test-cert.pem" >/dev/null 2>&1 || return 1
  xrdp-keygen xrdp "$etc/rsakeys.ini" >/dev/null 2>&1
  cat >"$etc/xrdp.ini" <<EOF
[Globals]
ini_version=1
fork=true
port=tcp://127.0.0.1:$rdp_port
use_vsock=false
tcp_nodelay=true
tcp_keepalive=true
security_layer=tls
crypt_level=high
certificate=$etc/test-cert.pem
key_file=$etc/test-key.pem
ssl_protocols=TLSv1.2, TLSv1.3
autorun=Xvnc
allow_channels=true
allow_multimon=false
bitmap_cache=true
bitmap_compression=true
bulk_compression=true
max_bpp=24
new_cursors=true
use_fastpath=both

[Logging]
LogFile=$logs/xrdp.log
LogLevel=DEBUG
EnableSyslog=false

[Channels]
rdpdr=false
rdpsnd=false
drdynvc=false
cliprdr=false
rail=false
xrdpvr=false
tcutils=false
$channel=true

[Xvnc]
name=Xvnc
lib=libvnc.so
username=ask
password=ask
ip=127.0.0.1
port=-1
EOF
  cat >"$etc/sesman.ini" <<EOF
[Globals]
ListenAddress=127.0.0.1
ListenPort=3350
EnableUserWindowManager=false
UserWindowManager=startwm.sh
DefaultWindowManager=startwm.sh
ReconnectScript=reconnectwm.sh

[Security]
AllowRootLogin=false
MaxLoginRetry=4
TerminalServerUsers=tsusers
TerminalServerAdmins=tsadmins
AlwaysGroupCheck=false

[Sessions]
X11DisplayOffset=10
MaxSessions=4
KillDisconnected=false
DisconnectedTimeLimit=0
IdleTimeLimit=0
Policy=Default

[Logging]
LogFile=$logs/sesman.log
LogLevel=DEBUG
EnableSyslog=false

[Xvnc]
param=Xvnc
param=-bs
param=-nolisten
param=tcp
param=-localhost
param=-dpi
param=96

[Chansrv]
FuseMountName=thinclient_drives
EnableFuseMount=false

[ChansrvLogging]
LogLevel=DEBUG
EnableSyslog=false

[SessionVariables]
EOF
  # The session's window manager only tells the test which display the session has.
  cat >"$etc/startwm.sh" <<'EOF'
#!/bin/sh
echo "$DISPLAY" >"$HOME/display.new" && mv "$HOME/display.new" "$HOME/display"
exec sleep 3600
EOF
  chmod 755 "$etc/startwm.sh"
}

# config.ini beside the library: log to files there; the entry as given.
write_plugin_config() {
  local dir=$1 entry=$2
  {
    printf 'LogToFile=1\nLogFolder=logs\n'
    [[ -n $entry ]] && echo "$entry"
  } >"$dir/plugin/config.ini"
}

# ------------------------------------------------------------------------------------------------
# Outside: checks, the temp folder, the namespaces, the verdict.

outer() {
  local build=${1:-build}
  skip() {
    echo "SKIP: $*"
    exit 77
  }
  [[ $(id -u) == 0 ]] || skip "the real-client test needs root (namespaces, mounts, a PAM user)"
  local missing=() c
  for c in xrdp xrdp-sesman xrdp-keygen Xvnc xfreerdp Xvfb unshare setpriv openssl ip ss ps pgrep; do
    command -v "$c" >/dev/null || missing+=("$c")
  done
  [[ -e $xrdpapi ]] || missing+=("$xrdpapi")
  ((${#missing[@]} == 0)) || skip "missing ${missing[*]} (scripts/install-deps.sh installs them)"

  build=$(realpath "$build")
  local plugin=$build/src/VMware/libYrTnVMwarePlugin.so f
  for f in "$plugin" "$build/src/VMware/MediaBridge" "$build/tools/stl_peer/stl_peer"; do
    [[ -f $f ]] || { echo "FAIL: not built: $f"; exit 1; }
  done
  if readelf -d "$plugin" | grep -q 'libasan'; then
    echo "FAIL: $plugin is built with the sanitizers, which xfreerdp cannot load; use a RelWithDebInfo build"
    exit 1
  fi

  local dir
  dir=$(mktemp -d /tmp/yr-real-client-XXXXXX)
  chmod 711 "$dir" # the session user reaches its home and the peer below it
  mkdir -p "$dir/logs" "$dir/plugin/logs" "$dir/bin" "$dir/client-home"
  cp "$plugin" "$build/src/VMware/MediaBridge" "$dir/plugin/"
  cp "$build/tools/stl_peer/stl_peer" "$dir/bin/"
  chmod 755 "$dir/bin" "$dir/bin/stl_peer" "$dir/logs"

  echo "Real-client test ($build, temp folder $dir)"
  unshare --mount --net --pid --fork --mount-proc --propagation private \
    timeout --kill-after=10 "$total_limit" bash "$0" --inner "$dir"
  local rc=$?
  ((rc == 124 || rc == 137)) && echo "FAIL: the test ran over ${total_limit}s"
  local left
  # (the pattern comes from a file, so that grep's own command line does not match it)
  left=$(grep -l -s -F -f <(echo "$dir") /proc/[0-9]*/cmdline | grep -v "^/proc/$$/" | head -3)
  if [[ -n $left ]]; then
    echo "FAIL: processes left behind: $left"
    rc=1
  fi
  if ((rc == 0)); then
    rm -rf "$dir"
    return 0
  fi
  echo "FAIL: logs kept in $dir/logs (plug-in logs in $dir/plugin/logs)"
  exit 1
}

if [[ ${1:-} == --inner ]]; then
  inner "$2"
else
  outer "$@"
fi
