#!/usr/bin/env bash
# kaldo convert (and kaldo tracks) on an IMAP folder of N service e-mails,
# against imap_fetch_loop: libetpan fetching the same batches and
# discarding them, and kaldo convert on the same e-mails as an mbox (what
# reading and converting costs without IMAP). The folder is served by a Dovecot started here in a
# temporary directory on a free port of 127.0.0.1 (plain IMAP: loopback),
# its e-mails written by Python's email and mailbox (tests/tool/imap_mail.py).
#   bench/imap_bench.sh [N] [BUILD_DIR] [REPS]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-10000}
build=${2:-build-bench}
reps=${3:-3}
# A build directory already there is used as it is configured (with
# KALDO_BUILD_BENCH=ON).
[[ -f "$build/CMakeCache.txt" ]] ||
  cmake -S . -B "$build" -G Ninja -DKALDO_BUILD_BENCH=ON -DKALDO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kaldo_program imap_fetch_loop >/dev/null
kaldo=$(realpath "$build/tool/kaldo")
loop=$(realpath "$build/bench/imap_fetch_loop")
work=$(mktemp -d /tmp/kaldo-imap-bench-XXXXXX)
stop() {
  [[ -f "$work/run/master.pid" ]] && dovecot -c "$work/dovecot.conf" stop 2>/dev/null || true
  rm -rf "$work"
}
trap stop EXIT

# Dovecot refuses to run its processes as root: as root they run as its own
# users, otherwise as the user running this.
if ((EUID == 0)); then
  login=dovenull internal=dovecot uid=$(id -u dovecot) gid=$(id -g dovecot)
else
  login=$(id -un) internal=$(id -un) uid=$(id -u) gid=$(id -g)
fi
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
chmod 755 "$work"  # Dovecot's own users read its configuration here
mkdir -p "$work/run" "$work/mail"
echo "bench password" > "$work/password"
echo "fleet:{PLAIN}bench password::::::" > "$work/passwd"
cat > "$work/dovecot.conf" <<CONF
base_dir = $work/run
state_dir = $work/run
instance_name = $(basename "$work")
listen = 127.0.0.1
protocols = imap
ssl = no
default_login_user = $login
default_internal_user = $internal
log_path = $work/log
auth_mechanisms = plain
disable_plaintext_auth = no
first_valid_uid = 1
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $work/passwd
}
userdb {
  driver = passwd-file
  args = username_format=%u $work/passwd
  default_fields = uid=$uid gid=$gid home=$work/home/%u mail=maildir:$work/mail/%u
}
service imap-login {
  chroot =
  inet_listener imap {
    address = 127.0.0.1
    port = $port
  }
  inet_listener imaps {
    port = 0
  }
}
service anvil {
  chroot =
}
CONF
python3 tests/tool/imap_mail.py "$work/mail/fleet" "$work/same.mbox" --emails "$count"
((EUID == 0)) && chown -R dovecot:dovecot "$work/mail"
dovecot -c "$work/dovecot.conf"
for _ in $(seq 100); do
  (echo > "/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "folder: $count service e-mails, $(du -sh "$work/mail/fleet/cur" | cut -f1) in Maildir, Dovecot on 127.0.0.1"
url="imap://fleet@127.0.0.1:$port/INBOX"
# Dovecot builds its index on the first reading: once before timing.
"$loop" 127.0.0.1 "$port" fleet "$work/password" INBOX

seconds() {
  local t0=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || true
  local t1=$EPOCHREALTIME
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", b - a}'
}
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
loops=(); converts=(); tracks=(); mboxes=()
for ((i = 0; i < reps; i++)); do
  loops+=("$(seconds "$loop" 127.0.0.1 "$port" fleet "$work/password" INBOX)")
  rm -rf "$work/out"
  converts+=("$(seconds "$kaldo" convert --format 7 --quiet -o "$work/out" --imap-password-file "$work/password" "$url")")
  rm -rf "$work/out"
  mboxes+=("$(seconds "$kaldo" convert --format 7 --quiet -o "$work/out" "$work/same.mbox")")
  rm -f "$work/tracks.csv"
  tracks+=("$(seconds "$kaldo" tracks --quiet -o "$work/tracks.csv" --imap-password-file "$work/password" "$url")")
done
echo "outputs of kaldo convert: $(ls "$work/out" | wc -l)"
l=$(median "${loops[@]}") c=$(median "${converts[@]}") t=$(median "${tracks[@]}") m=$(median "${mboxes[@]}")
echo "imap_fetch_loop: ${l} s  (runs: ${loops[*]})"
echo "kaldo convert:   ${c} s  (runs: ${converts[*]})  $(awk -v a="$c" -v b="$l" 'BEGIN {printf "%.2f", a / b}')x the loop"
echo "kaldo tracks:    ${t} s  (runs: ${tracks[*]})  $(awk -v a="$t" -v b="$l" 'BEGIN {printf "%.2f", a / b}')x the loop"
echo "kaldo convert on the same e-mails as an mbox: ${m} s  (runs: ${mboxes[*]})"
