#!/usr/bin/env bash
# What a file and a folder cost in round trips across a far link, with one
# connection, through bench/wanrelay.py (tun mode, 50 ms round trip) to a
# passive vsftpd and to sshd in a namespace of their own:
# - plain FTP, 60 small files in 3 folders, the relay's packet trace on: the
#   time from one STOR to the next, on the relay's clock. A second run against
#   the same server profile (the project's .servers file) is traced too: what
#   the program learnt of the server at the first run is used, as at every
#   later deploy.
# - FTP and SFTP, first uploads of 60 files in one folder, 120 in one folder
#   and 60 in 20 folders: a file's cost is the difference of the first two over
#   60, a folder's that of the first and the third over 19.
#
#   bench/far_costs.sh [build/dropvan]     (root: it makes two network namespaces)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dropvan=$(realpath "${1:-$root/build/dropvan}")
rtt=50
work=$(mktemp -d /tmp/dropvan-trace.XXXXXX)
ns=dvtrace$$
host=10.77.0.2
port=2141
ssh_port=2243
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
# The relay holds packets by its clock: a real-time priority keeps other work from stretching the link.
realtime=()
chrt -f 20 true 2>/dev/null && realtime=(chrt -f 20)
"${realtime[@]}" /usr/bin/python3 "$root/bench/wanrelay.py" tun --client-ns "$ns-c" --server-ns "$ns-s" --rtt $rtt \
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
mkdir -p "$work/home/.ssh"
ssh-keygen -q -t ed25519 -N '' -f "$work/ssh_host"
ssh-keygen -q -t ed25519 -N '' -f "$work/home/.ssh/id_ed25519"
printf '%s\n' "Port $ssh_port" "ListenAddress $host" "HostKey $work/ssh_host" "PidFile $work/sshd.pid" \
  "AuthorizedKeysFile $work/home/.ssh/id_ed25519.pub" "PermitRootLogin prohibit-password" \
  "PasswordAuthentication no" "UsePAM no" "StrictModes no" "Subsystem sftp internal-sftp" >"$work/sshd_config"
ip netns exec "$ns-s" /usr/sbin/sshd -D -e -f "$work/sshd_config" </dev/null >"$work/sshd.out" 2>&1 &
printf '[%s]:%s %s\n' "$host" "$ssh_port" "$(cut -d' ' -f1,2 "$work/ssh_host.pub")" >"$work/home/.ssh/known_hosts"
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

# A first upload of `files` files in `folders` folders: its time in ms.
layout() {  # <files> <folders>
  rm -rf "$work/lay"
  for f in $(seq "$1"); do
    mkdir -p "$work/lay/d$(( f % $2 ))"
    head -c $((1000 + f * 37)) /dev/urandom >"$work/lay/d$(( f % $2 ))/f$f.bin"
  done
}
timed() {  # <protocol> : the run's time in ms
  local server=$host port_line="Port=$port" extra=("Passive=True")
  if [ "$1" = sftp ]; then
    server="sftp://$host" port_line="Port=$ssh_port" extra=("User=root" "KeyFile=$work/home/.ssh/id_ed25519")
  else
    extra+=("User=anonymous" "Password=costs@example.org")
  fi
  rm -rf "$work/ftp/pub/lay" "$work/lay.batch-dropvan.ini" "$work/lay.batch-dropvan.log"
  printf '%s\r\n' "Source=$work/lay/*" "Subdir=True" "Target=$([ "$1" = sftp ] && echo "$work/ftp/pub/lay/" || echo /pub/lay/)" \
    "Server=$server" "$port_line" "${extra[@]}" "ThreadsCount=1" "PureConsole=True" >"$work/lay.batch-dropvan"
  local start
  start=$(date +%s%N)
  ip netns exec "$ns-c" env HOME="$work/home" "$dropvan" "$work/lay.batch-dropvan" >"$work/lay.out" 2>&1 ||
    { cat "$work/lay.out" >&2; exit 1; }
  echo $(( ($(date +%s%N) - start) / 1000000 ))
}
for protocol in ftp sftp; do
  layout 60 1; a=$(timed $protocol); a2=$(timed $protocol)
  layout 120 1; b=$(timed $protocol); b2=$(timed $protocol)
  layout 60 20; c=$(timed $protocol); c2=$(timed $protocol)
  /usr/bin/python3 - "$protocol" $rtt "$a" "$a2" "$b" "$b2" "$c" "$c2" <<'PY'
import sys
name, rtt = sys.argv[1], float(sys.argv[2])
a, b, c = (min(float(sys.argv[i]), float(sys.argv[i + 1])) for i in (3, 5, 7))
file_ms, folder_ms = (b - a) / 60, (c - a) / 19
print(f"{name}: 60 files in 1 folder {a / 1000:.2f} s, 120 in 1 {b / 1000:.2f} s, 60 in 20 {c / 1000:.2f} s "
      f"(the faster of two runs each); a file {file_ms:.1f} ms ({file_ms / rtt:.2f} round trips), "
      f"a folder {folder_ms:.1f} ms ({folder_ms / rtt:.2f}), the rest {(a - 60 * file_ms - folder_ms) / 1000:.2f} s")
PY
done
