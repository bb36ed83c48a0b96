#!/usr/bin/env bash
# The package's own units under a real systemd: the installed tree is booted by this machine's
# systemd as PID 1 of a container the test makes (private mount, PID, network, UTS, IPC and
# cgroup namespaces; the machine's /usr bound read-only, everything else in a tmpfs that goes
# with the container). printersim stands in for the printer on the container's loopback.
#   deploy/systemd_test.sh BUILD_DIR
# Shown: a job a second for 30 s all get thumbnails (the path-triggered pass has no start limit
# to hit); a queued job reaches the printer; a killed daemon comes back; no unit is failed.
# The only change to the units: the programs' folder, /usr/bin, becomes /opt/labeldock/bin, as
# the machine's /usr is shared read-only.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
. "$here/testlib.sh"
build=$(cd "${1:?usage: systemd_test.sh BUILD_DIR}" && pwd)
tools=$build/bin
sd=/usr/lib/systemd/systemd

if [ "$(id -u)" != 0 ] || [ ! -x "$sd" ] || ! unshare --mount --pid --fork --cgroup true 2>/dev/null; then
  echo "systemd test skipped: needs root, $sd and namespaces (unshare --mount --pid --cgroup)"
  exit 0
fi

X=$(mktemp -d "${TMPDIR:-/tmp}/labeldock-systemd.XXXXXX")
logs=$X/logs
mkdir -p "$logs"
pid1=""
cleanup() {
  # Killing PID 1 of the container ends every process in it and drops its mounts.
  [ -n "$pid1" ] && kill -KILL "$pid1" 2>/dev/null || true
  [ -n "${box:-}" ] && kill "$box" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$X"
}
trap cleanup EXIT

step "the installed tree"
DESTDIR=$X/dest cmake --install "$build" >"$logs/install.log" 2>&1 || fail "cmake --install failed"
T=$X/tree
mkdir -p "$T/opt/labeldock" "$T/etc/systemd/system" "$T/home/pi"
cp -a "$X/dest/usr/bin" "$T/opt/labeldock/bin"
cp -a "$X/dest/var" "$X/dest/print" "$T/"
for u in "$X"/dest/lib/systemd/system/labeldock-*.*; do
  [ -f "$u" ] && sed 's#/usr/bin/#/opt/labeldock/bin/#g' "$u" >"$T/etc/systemd/system/$(basename "$u")"
done
cp -a "$X/dest/lib/systemd/system/labeldock-.service.d" "$T/etc/systemd/system/"
# The machine's /usr lacks our tmpfiles entry: from /etc, systemd-tmpfiles-setup applies it at
# boot (/run/labeldock is made there, as on the board).
mkdir -p "$T/etc/tmpfiles.d"
cp "$X/dest/usr/lib/tmpfiles.d/labeldock.conf" "$T/etc/tmpfiles.d/labeldock.conf"
cp "$tools/log_client" "$T/home/pi/log_client"
for t in printersim zjsgen jobsend queuejob; do cp "$tools/$t" "$T/opt/labeldock/bin/"; done
cp /usr/lib/os-release "$T/etc/os-release"
grep -E '^(root|www-data|nobody|systemd-[a-z-]+|messagebus):' /etc/passwd >"$T/etc/passwd"
grep -E '^(root|www-data|nogroup|dialout|tty|adm|systemd-[a-z-]+|messagebus|systemd-journal):' /etc/group >"$T/etc/group"
: >"$T/etc/machine-id"
printf '127.0.0.1\tlocalhost labelprinter\n' >"$T/etc/hosts"
cat >"$T/etc/systemd/system/printersim.service" <<'UNIT'
[Service]
ExecStart=/opt/labeldock/bin/printersim --dir /run/printer --raw-port 9100 --web-port 80
UNIT
# What the board's multi-user.target would bring up of ours: the enabled units, and the printer.
cat >"$T/etc/systemd/system/appliance.target" <<'UNIT'
[Unit]
Description=labeldock under test
Wants=printersim.service labeldock-eventlogd.service labeldock-jobcatcher.service
Wants=labeldock-thumbmaker.path labeldock-print.path labeldock-print.timer labeldock-status.timer
UNIT
ln -s appliance.target "$T/etc/systemd/system/default.target"
systemd-tmpfiles --root="$T" --create "$T/etc/tmpfiles.d/labeldock.conf" >/dev/null 2>&1 || true
echo "ok: tree in $T"

step "boot"
cat >"$X/boot.sh" <<BOOT
#!/bin/sh
set -e
mount --make-rprivate /
R=$X/root
mkdir -p \$R
mount -t tmpfs -o mode=755 tmpfs \$R
cp -a $T/. \$R/
mkdir -p \$R/usr \$R/proc \$R/sys \$R/dev \$R/run \$R/tmp \$R/var/tmp \$R/var/log \$R/root
chmod 1777 \$R/tmp
mount --bind /usr \$R/usr
mount -o remount,bind,ro \$R/usr
ln -s usr/lib \$R/lib; ln -s usr/bin \$R/bin; ln -s usr/sbin \$R/sbin; ln -s usr/lib64 \$R/lib64
mount -t tmpfs -o mode=755 tmpfs \$R/dev
for d in null zero full random urandom tty; do touch \$R/dev/\$d; mount --bind /dev/\$d \$R/dev/\$d; done
# What a container manager gives: PrivateDevices= builds its /dev from these.
mkdir -p \$R/dev/shm \$R/dev/pts
mount -t tmpfs -o mode=1777 shm \$R/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666 devpts \$R/dev/pts
ln -s pts/ptmx \$R/dev/ptmx
touch \$R/dev/console
mount --bind $logs/console.log \$R/dev/console
exec chroot \$R $sd --log-target=console --log-level=notice
BOOT
: >"$logs/console.log"
env container=labeldock-test unshare --mount --pid --fork --net --uts --ipc --cgroup sh "$X/boot.sh" >"$logs/boot.out" 2>&1 &
box=$!
for _ in $(seq 1 100); do pid1=$(pgrep -P "$box" || true); [ -n "$pid1" ] && break; sleep 0.1; done
[ -n "$pid1" ] || fail "the container did not start"
inside() { nsenter -t "$pid1" -m -p -n -u -i -r -w "$@"; }
# On failure, the units' state and the journal's end are shown with the other logs.
eval "plain_$(declare -f fail)"
fail() {
  inside systemctl status --no-pager --full 'labeldock-*' printersim.service >"$logs/units.log" 2>&1 || true
  inside journalctl --no-pager -n 80 >"$logs/journal.log" 2>&1 || true
  inside journalctl --no-pager | grep -iE "pjlsend|spoold|print.service|ewsrelay|status.service|printersim" | tail -30 >"$logs/ours.log" 2>&1 || true
  plain_fail "$@"
}
running() { local s; s=$(inside systemctl is-system-running 2>&1 || true); echo "$s" >"$logs/state"; [[ $s == running || $s == degraded ]]; }
wait_or_fail "systemd did not finish booting" running
wait_or_fail "jobcatcher does not listen" inside sh -c 'ss -Hltn "sport = :5001" | grep -q .'
wait_or_fail "printersim does not listen" inside sh -c 'ss -Hltn "sport = :9100" | grep -q .'
echo "ok: systemd $(inside systemctl --version | head -1 | cut -d' ' -f2) booted the units"

step "a job a second for 30 s"
for i in $(seq -w 1 30); do
  inside /opt/labeldock/bin/zjsgen --pages 1 --capture "Stream $i" -o "/run/job$i.cap" >/dev/null 2>&1 &&
    inside /opt/labeldock/bin/jobsend 127.0.0.1:5001 "/run/job$i.cap" >/dev/null 2>&1 || fail "job $i was not sent"
  sleep 1
done
thumbs() { [ "$(inside sh -c 'ls /print/prns/thumbs/ | grep -c "^Stream [0-9]*\.jpeg$"')" -ge 30 ]; }
wait_or_fail "not all 30 jobs got a thumbnail: $(inside ls /print/prns/thumbs /print/prns/tmp | tr '\n' ' ')" thumbs
echo "ok: 30 thumbnails; labeldock-thumbmaker.path is $(inside systemctl is-active labeldock-thumbmaker.path)"

step "a queued job reaches the printer"
inside sh -c 'cd /print/prns && setpriv --reuid=www-data --regid=www-data --init-groups /opt/labeldock/bin/queuejob "Stream 01.prn"' >"$logs/queuejob.log" 2>&1 ||
  fail "queuejob failed: $(cat "$logs/queuejob.log")"
wait_or_fail "the printer got no job" inside grep -qs '^job 1 end' /run/printer/raw.log
echo "ok: spooled and sent by the print path unit's service"

step "a killed daemon comes back"
before=$(inside systemctl show -P MainPID labeldock-jobcatcher.service)
inside systemctl kill -s KILL labeldock-jobcatcher.service
back() {
  local now
  now=$(inside systemctl show -P MainPID labeldock-jobcatcher.service)
  [ "$now" != 0 ] && [ "$now" != "$before" ] && inside systemctl -q is-active labeldock-jobcatcher.service
}
wait_or_fail "jobcatcher did not come back after a kill" back
echo "ok: jobcatcher $before killed, running again"

step "nothing failed"
failed=$(inside systemctl --failed --plain --no-legend --no-pager)
[ -z "$failed" ] || fail "failed units: $failed"
echo "ok: no failed unit"
echo
echo "systemd test passed"
