#!/usr/bin/env bash
# Round trips a file costs over plain FTP across a far link: the program, with
# one connection, uploads 60 small files in 3 folders to a passive vsftpd
# through bench/wanrelay.py (tun mode, 50 ms round trip, its packet trace on),
# and the time from one STOR to the next is read from the relay's clock.
#
#   bench/trace_far_ftp.sh [build/dropvan]     (root: it makes two network namespaces)
#
# A second run against the same server profile (the project's .servers file)
# is traced: what the program learnt of the server at the first run is used,
# as at every later deploy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dropvan=$(realpath "${1:-$root/build/dropvan}")
rtt=50
work=$(mktemp -d /tmp/dropvan-trace.XXXXXX)
ns=dvtrace$$
host=10.77.0.2
port=2141
relay=""
# The relay's trace runs from one signal to the next: one file a pass, whole once the trace is off.
trace() { echo "$rtt 0 $1" >"$work/ctl"; kill -HUP "$relay"; sleep 0.2; }
cleanup() {
  for n in "$ns-s" "$ns-c"; do
    pids=$(ip netns pids "$n" 2>/dev/null || true)
    [ -n "$pids" ] && kill $pids 2>/dev/null
  done
  [ -n "$relay" ] && kill "$relay" 2>/dev/null
  sleep 0.3
  ip netns delete "$ns-s" 2>/dev/null || true
  ip netns delete "$ns-c" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns-c" && ip netns add "$ns-s"
ip netns exec "$ns-c" ip link set lo up
ip netns exec "$ns-s" ip link set lo up
echo "$rtt 0" >"$work/ctl"
/usr/bin/python3 "$root/bench/wanrelay.py" tun --client-ns "$ns-c" --server-ns "$ns-s" --rtt $rtt \
  --ctl "$work/ctl" --trace "$work/trace" --trace-ports $port >"$work/relay.out" 2>"$work/relay.err" &
relay=$!
for _ in $(seq 100); do grep -q ready "$work/relay.out" 2>/dev/null && break; sleep 0.05; done
mkdir -p "$work/ftp/pub" "$work/site" /var/run/vsftpd/empty
chmod 755 "$work/ftp"
chmod 777 "$work/ftp/pub"
for d in 1 2 3; do
  mkdir -p "$work/site/d$d"
  for f in $(seq 20); do head -c $((1000 + f * 137)) /dev/urandom >"$work/site/d$d/f$f.bin"; done
done
cat >"$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=$host
listen_port=$port
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$work/ftp
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
local_enable=NO
pasv_enable=YES
seccomp_sandbox=NO
secure_chroot_dir=/var/run/vsftpd/empty
xferlog_enable=NO
CONF
ip netns exec "$ns-s" /usr/sbin/vsftpd "$work/vsftpd.conf" </dev/null >"$work/vsftpd.out" 2>&1 &
sleep 0.5
printf '%s\r\n' "Source=$work/site/*" "Subdir=True" "Target=/pub/site/" "Server=$host" "Port=$port" \
  "User=anonymous" "Password=trace@example.org" "ThreadsCount=1" "Passive=True" "PureConsole=True" \
  >"$work/site.batch-dropvan"
for pass in first later; do
  rm -rf "$work/ftp/pub/site" "$work/site.batch-dropvan.ini" "$work/site.batch-dropvan.log"
  trace trace
  start=$(date +%s%N)
  ip netns exec "$ns-c" "$dropvan" "$work/site.batch-dropvan" >"$work/run.out" 2>&1 ||
    { cat "$work/run.out"; exit 1; }
  took=$(( ($(date +%s%N) - start) / 1000000 ))
  trace ""
  /usr/bin/python3 - "$work/trace" $rtt "$pass" "$took" <<'PY'
import re, statistics, sys
trace, rtt, name, took = sys.argv[1], float(sys.argv[2]), sys.argv[3], float(sys.argv[4]) / 1000
stors = [float(l.split()[0]) for l in open(trace) if l.split()[1:2] == [">"] and " STOR " in l]
gaps = [b - a for a, b in zip(stors, stors[1:])]
if not gaps:
    sys.exit(f"{name} run: no STOR traced")
med = statistics.median(gaps)
print(f"{name} run: {len(stors)} STORs in {took:.1f} s; STOR to STOR median {med:.1f} ms "
      f"({med / rtt:.2f} round trips), min {min(gaps):.1f}, max {max(gaps):.1f}")
PY
done
