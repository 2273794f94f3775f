# Far servers, sourced by bench/run: cases 21-25, 27 and 28 upload across a link that
# holds every packet 25 ms each way (a 50 ms round trip), made on this machine
# by bench/wanrelay.py between two network namespaces of the suite's own (the
# client's and the servers'). Handshakes, slow start, TCP windows and passive
# data connections all pay the distance, as on a real line. Each program gets
# the same number of connections; the servers are a passive vsftpd (with and
# without TLS) and sshd, their root the suite's tmpfs.

far_rtt=50
far_client="$ns-c"
far_server="$ns-s"
far_host=10.77.0.2     # the servers' side, inside the two namespaces alone
far_ftp_port=2141
far_tls_port=2142
far_ssh_port=2243
far_made=0

in_client() { ip netns exec "$far_client" "$@"; }
in_server() { ip netns exec "$far_server" "$@"; }

far_cleanup() {
  [ "$far_made" -eq 1 ] || return 0
  local pids
  for n in "$far_server" "$far_client"; do
    pids=$(ip netns pids "$n" 2>/dev/null)
    [ -n "$pids" ] && kill $pids 2>/dev/null
  done
  [ -n "${far_relay:-}" ] && kill "$far_relay" 2>/dev/null
  sleep 0.3
  ip netns delete "$far_server" 2>/dev/null
  ip netns delete "$far_client" 2>/dev/null
  far_made=0
}

far_wait_listen() {  # <port>
  for _ in $(seq 100); do
    [ -n "$(in_server ss -Hltn "sport = :$1")" ] && return 0
    sleep 0.05
  done
  return 1
}

# The namespaces, the relay and the servers, once for cases 21-25.
far_up() {
  [ "$far_made" -eq 1 ] && return 0
  ip netns add "$far_client" && ip netns add "$far_server" || die "cannot make the far namespaces"
  far_made=1
  in_client ip link set lo up
  in_server ip link set lo up
  # The relay holds packets by its clock: a real-time priority keeps other
  # work on the machine from stretching the link.
  local realtime=()
  chrt -f 20 true 2>/dev/null && realtime=(chrt -f 20)
  "${realtime[@]}" "$py" "$bench/wanrelay.py" tun --client-ns "$far_client" --server-ns "$far_server" --rtt "$far_rtt" \
    >"$work/wanrelay.out" 2>"$work/wanrelay.err" &
  far_relay=$!
  for _ in $(seq 100); do grep -q ready "$work/wanrelay.out" 2>/dev/null && break; sleep 0.05; done
  grep -q ready "$work/wanrelay.out" || die "the relay did not start: $(cat "$work/wanrelay.err")"
  local lines="listen=YES
listen_ipv6=NO
listen_address=$far_host
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$ftp
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
local_enable=NO
port_enable=NO
pasv_enable=YES
pasv_min_port=40000
pasv_max_port=49999
seccomp_sandbox=NO
delay_failed_login=0
max_per_ip=64
secure_chroot_dir=/var/run/vsftpd/empty
xferlog_enable=NO"
  printf '%s\nlisten_port=%s\n' "$lines" "$far_ftp_port" >"$work/far-ftp.conf"
  printf '%s\nlisten_port=%s\nssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\nrequire_ssl_reuse=NO\nssl_ciphers=HIGH\nrsa_cert_file=%s\nrsa_private_key_file=%s\n' \
    "$lines" "$far_tls_port" "$work/tls.pem" "$work/tls.key" >"$work/far-tls.conf"
  in_server /usr/sbin/vsftpd "$work/far-ftp.conf" </dev/null >"$work/far-ftp.out" 2>&1 &
  in_server /usr/sbin/vsftpd "$work/far-tls.conf" </dev/null >"$work/far-tls.out" 2>&1 &
  sed -e "s/^Port .*/Port $far_ssh_port/" -e "s/^ListenAddress .*/ListenAddress $far_host/" \
    -e "s|^PidFile .*|PidFile $work/far-sshd.pid|" "$work/sshd_config" >"$work/far-sshd_config"
  in_server /usr/sbin/sshd -D -e -f "$work/far-sshd_config" </dev/null >"$work/far-sshd.out" 2>&1 &
  far_wait_listen "$far_ftp_port" && far_wait_listen "$far_tls_port" && far_wait_listen "$far_ssh_port" ||
    die "the far servers did not start: $(cat "$work/far-ftp.out" "$work/far-tls.out" "$work/far-sshd.out")"
  printf '[%s]:%s %s\n' "$far_host" "$far_ssh_port" "$(cut -d' ' -f1,2 "$work/ssh_host.pub")" >>"$home/.ssh/known_hosts"
  local connect
  connect=$(in_client curl -s -o /dev/null -w '%{time_connect}' "ftp://$far_host:$far_ftp_port/" || true)
  echo "far link: a TCP connect takes ${connect:-?} s (round trip ${far_rtt} ms)" | tee -a "$notes"
}

# far_compare <case> <title> <set> <threads> <remote name stem> <target> <program lines> -- <lftp settings> <lftp open> <lftp remote> <rclone remote>
#   One hyperfine run of the three in the client namespace, checked as the loopback cases are.
far_compare() {
  local n=$1 title=$2 set=$3 t=$4 stem=$5 target=$6
  local p=${stem}p l=${stem}l r=${stem}r lines=() prog lf rc
  shift 6
  while [ "$1" != -- ]; do lines+=("$1"); shift; done
  shift
  local lftp_set=$1 lftp_open=$2 lftp_remote=$3 rclone_remote=$4
  say "$n. $title"
  project "$p" "$set" "$t" 0 "${lines[@]}"
  lftp_script "$l" "$set" "$t" 0 "$lftp_set" "$lftp_open" "$lftp_remote" >/dev/null
  warm "$set"
  in_client hyperfine --runs "$runs" --export-json "$work/$p.json" \
    -n "dropvan T$t" --prepare "rm -rf $remote/$p; $(forget "$p")" "env HOME=$home $(run_program "$p")" \
    -n "lftp P$t" --prepare "rm -rf $remote/$l" "env HOME=$home lftp -f $work/$l.lftp" \
    -n "rclone T$t" --prepare "rm -rf $remote/$r" "env HOME=$home $(rclone_copy "$r" "$set" "$t" "$rclone_remote")" ||
    { failed_row "$n. $title" "hyperfine"; return 0; }
  check_remote "$p" "$set" "dropvan T$t"
  check_remote "$l" "$set" "lftp P$t"
  check_remote "$r" "$set" "rclone T$t"
  prog=$(stats "$p.json" "dropvan T$t")
  lf=$(stats "$p.json" "lftp P$t")
  rc=$(stats "$p.json" "rclone T$t")
  echo "$n. rclone T$t, $title: $(echo "$rc" | awk '{printf "median %.3f s [%.3f-%.3f]", $1, $2, $3}')" >>"$notes"
  tail -n1 "$notes"
  row "$n. $title, vs lftp" s "$prog" "$lf" \
    "$(awk -v p="${prog%% *}" -v l="${lf%% *}" -v r="${rc%% *}" -v t="$target" 'BEGIN {
      f = l < r ? l : r
      printf "<= %.1f x faster of lftp %.3f s and rclone %.3f s = %.3f s: %s", t, l, r, t * f, (p <= t * f ? "met" : "missed")
    }')"
  far_cpu "$n" "$p" "$set"
  rm -rf "${remote:?}/$p" "${remote:?}/$l" "${remote:?}/$r"
}

# The CPU time of one more first run of the program: waiting for a far
# server should cost none.
far_cpu() {  # <case> <project> <set>
  rm -rf "${remote:?}/$2"
  eval "$(forget "$2")"
  in_client env HOME="$home" /usr/bin/time -f '%U %S' -o "$work/$2.cpu" "$dropvan" "$work/$2.batch-dropvan" >/dev/null 2>&1 ||
    { echo "CHECK FAILED: the CPU run of $2 failed" >&2; failures=$((failures + 1)); return 0; }
  echo "$1. CPU of one program run: $(awk '{printf "%.2f s user, %.2f s system", $1, $2}' "$work/$2.cpu")" | tee -a "$notes"
}

far_ftp_lines() { echo "Server=$far_host" "Port=$1" "Passive=True"; }
far_lftp_open() { echo "open -u anonymous,bench@example.org -p $1 $far_host"; }
far_rclone_ftp() {  # <port> <name> [tls]
  local tls=""
  [ "${3:-}" = tls ] && tls=",explicit_tls=true,no_check_certificate=true,disable_tls13=true"
  echo ":ftp,host=$far_host,port=$1,user=anonymous,pass=$(rclone obscure bench@example.org)$tls:/pub/$2"
}
far_sftp_rclone() {  # <name>
  echo ":sftp,host=$far_host,port=$far_ssh_port,user=root,key_file=$home/.ssh/id_ed25519,known_hosts_file=$home/.ssh/known_hosts,disable_hashcheck=true:$remote/$1"
}
far_sftp_lftp_set() {
  echo "set sftp:connect-program \"ssh -a -x -i $home/.ssh/id_ed25519 -o UserKnownHostsFile=$home/.ssh/known_hosts\""
}

far_ftp_case() {  # <case> <threads> <stem> <target>
  far_up
  # shellcheck disable=SC2046
  far_compare "$1" "400 files, 50 ms round trip, FTP passive, T$2 and P$2" small400 "$2" "$3" "$4" \
    $(far_ftp_lines "$far_ftp_port") -- "set ftp:passive-mode on" "$(far_lftp_open "$far_ftp_port")" "" \
    "$(far_rclone_ftp "$far_ftp_port" "${3}r")"
}
far_sftp_case() {  # <case> <threads> <stem> <target> <set> <title>
  far_up
  far_compare "$1" "$6, 50 ms round trip, SFTP, T$2 and P$2" "$5" "$2" "$3" "$4" \
    "Server=sftp://$far_host" "Port=$far_ssh_port" "User=root" "KeyFile=$home/.ssh/id_ed25519" \
    "Target=$remote/${3}p/" -- "$(far_sftp_lftp_set)" "open -u root, sftp://$far_host:$far_ssh_port" \
    "$remote/${3}l" "$(far_sftp_rclone "${3}r")"
}

case_21() { far_ftp_case 21 4 c21 0.7; }
case_22() {
  far_up
  far_compare 22 "400 files, 50 ms round trip, FTP over TLS, T4 and P4" small400 4 c22 0.7 \
    $(far_ftp_lines "$far_tls_port") "Secure=True" "SecureVerify=False" -- "set ftp:passive-mode on
set ftp:ssl-force true
set ftp:ssl-protect-data true
set ssl:verify-certificate no" "$(far_lftp_open "$far_tls_port")" "" "$(far_rclone_ftp "$far_tls_port" c22r tls)"
}
case_23() { far_sftp_case 23 4 c23 0.8 small400 "400 files"; }
case_24() { far_sftp_case 24 1 c24 1.1 far50m "one 50 MB file"; }
case_25() {
  far_ftp_case 25 8 c25 0.7
  far_sftp_case 25 8 c25s 0.8 small400 "400 files"
}

# 27. ThreadsCount=Auto across the far link: four connections at first, more
#     while the pace rises. Against the program's own fixed counts, the first
#     step's and the most Auto may reach: Auto should come near the second.
case_27() {
  far_up
  say "27. ThreadsCount=Auto, 400 files, 50 ms round trip, FTP passive, against T4 and T16"
  local a=c27a f=c27f s=c27s lines
  lines=$(far_ftp_lines "$far_ftp_port")
  # shellcheck disable=SC2086
  project "$a" small400 Auto 0 $lines
  # shellcheck disable=SC2086
  project "$f" small400 4 0 $lines
  # shellcheck disable=SC2086
  project "$s" small400 16 0 $lines
  warm small400
  in_client hyperfine --runs "$runs" --export-json "$work/$a.json" \
    -n "dropvan Auto" --prepare "rm -rf $remote/$a; $(forget "$a")" "$(run_program "$a")" \
    -n "dropvan T4" --prepare "rm -rf $remote/$f; $(forget "$f")" "$(run_program "$f")" \
    -n "dropvan T16" --prepare "rm -rf $remote/$s; $(forget "$s")" "$(run_program "$s")" ||
    { failed_row "27. ThreadsCount=Auto, far FTP" "hyperfine"; return 0; }
  check_remote "$a" small400 "dropvan Auto"
  check_remote "$f" small400 "dropvan T4"
  check_remote "$s" small400 "dropvan T16"
  local auto four sixteen
  auto=$(stats "$a.json" "dropvan Auto")
  four=$(stats "$a.json" "dropvan T4")
  sixteen=$(stats "$a.json" "dropvan T16")
  echo "27. dropvan T16: $(echo "$sixteen" | awk '{printf "median %.3f s [%.3f-%.3f]", $1, $2, $3}')" >>"$notes"
  tail -n1 "$notes"
  row "27. ThreadsCount=Auto vs T4, 400 files, 50 ms, FTP" s "$auto" "$four" \
    "$(awk -v a="${auto%% *}" -v s="${sixteen%% *}" 'BEGIN {
      printf "<= 1.25 x T16 %.3f s = %.3f s: %s", s, 1.25 * s, (a <= 1.25 * s ? "met" : "missed")
    }')"
  rm -rf "${remote:?}/$a" "${remote:?}/$f" "${remote:?}/$s"
}

# 28. A run that finds nothing changed, with Verify=True: the program lists
#     each remote folder once to see that the server still holds every file;
#     lftp (--ignore-time) and rclone (--size-only) compare sizes the same way.
case_28() {
  far_up
  local n=28 t=4 p=c28p l=c28l r=c28r rc title="no change, Verify=True, 400 files, 50 ms round trip, FTP passive, T4 and P4"
  say "$n. $title"
  # shellcheck disable=SC2046
  project "$p" small400 "$t" 0 $(far_ftp_lines "$far_ftp_port") "Verify=True"
  lftp_script "$l" small400 "$t" 0 "set ftp:passive-mode on" "$(far_lftp_open "$far_ftp_port")" >/dev/null
  sed -i 's/^mirror -R /mirror -R --ignore-time /' "$work/$l.lftp"
  rc="$(rclone_copy "$r" small400 "$t" "$(far_rclone_ftp "$far_ftp_port" "$r")") --size-only"
  warm small400
  # The first runs put every file there; the timed ones find nothing to send.
  rm -rf "${remote:?}/$p" "${remote:?}/$l" "${remote:?}/$r"
  eval "$(forget "$p")"
  { in_client env HOME="$home" $(run_program "$p") && in_client env HOME="$home" lftp -f "$work/$l.lftp" &&
    in_client env HOME="$home" $rc; } >/dev/null 2>&1 || { failed_row "$n. $title" "the first uploads"; return 0; }
  in_client hyperfine --runs "$runs" --export-json "$work/$p.json" \
    -n "dropvan T$t" "env HOME=$home $(run_program "$p")" \
    -n "lftp P$t" "env HOME=$home lftp -f $work/$l.lftp" \
    -n "rclone T$t" "env HOME=$home $rc" || { failed_row "$n. $title" "hyperfine"; return 0; }
  check_log "$p" 400 identical
  check_remote "$l" small400 "lftp P$t"
  check_remote "$r" small400 "rclone T$t"
  local prog lf rcs
  prog=$(stats "$p.json" "dropvan T$t")
  lf=$(stats "$p.json" "lftp P$t")
  rcs=$(stats "$p.json" "rclone T$t")
  echo "$n. rclone T$t, $title: $(echo "$rcs" | awk '{printf "median %.3f s [%.3f-%.3f]", $1, $2, $3}')" >>"$notes"
  tail -n1 "$notes"
  row "$n. $title, vs lftp" s "$prog" "$lf" \
    "$(awk -v p="${prog%% *}" -v l="${lf%% *}" -v r="${rcs%% *}" 'BEGIN {
      f = l < r ? l : r
      printf "<= 1.0 x faster of lftp %.3f s and rclone %.3f s = %.3f s: %s", l, r, f, (p <= f ? "met" : "missed")
    }')"
  rm -rf "${remote:?}/$p" "${remote:?}/$l" "${remote:?}/$r"
}
