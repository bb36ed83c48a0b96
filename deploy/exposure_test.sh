#!/usr/bin/env bash
# Who may reach what, over real sockets between network namespaces that the test makes (the
# machine's own network is never touched): a stranger on the LAN is refused by the event log
# server (port 5002) and by lighttpd's CGI folder (with our fragment), while this machine and the
# printer get through; the RFID command port (5011) answers the printer only.
#   deploy/exposure_test.sh BUILD_DIR
# Layout, all inside a private namespace "board": the printer's namespace on a link
# 172.31.31.254 <-> 172.31.31.253 (the printer alias's default address), a stranger's on
# 10.99.0.1 <-> 10.99.0.2.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/testlib.sh"
build=$(cd "${1:?usage: exposure_test.sh BUILD_DIR}" && pwd)

if [ -z "${LABELDOCK_IN_NETNS:-}" ]; then
  if [ "$(id -u)" != 0 ] || ! unshare --net true 2>/dev/null; then
    echo "exposure test skipped: making network namespaces needs root (unshare --net)"
    exit 0
  fi
  exec env LABELDOCK_IN_NETNS=1 unshare --net bash "$0" "$@"
fi

scratch_dir X exposure
chmod 755 "$X"
logs=$X/logs
mkdir -p "$logs"

# A peer namespace: a process that holds it, its pid in the named variable.
# unshare makes the namespace only after it has started: until then its pid is still in ours,
# and a link given to it would land here.
peer_ns() {
  unshare --net sleep 600 &
  pids+=($!)
  local pid=$! here
  here=$(readlink /proc/self/ns/net)
  wait_or_fail "a peer namespace was not made" \
    bash -c '[ "$(readlink /proc/'"$pid"'/ns/net)" != "'"$here"'" ]'
  printf -v "$1" '%s' "$pid"
}
in_ns() { local pid=$1; shift; nsenter -t "$pid" -n "$@"; }

step "namespaces"
ip link set lo up
peer_ns printer
peer_ns stranger
ip link add lp type veth peer name eth0 netns "$printer"
ip link add ls type veth peer name eth0 netns "$stranger"
ip addr add 172.31.31.254 peer 172.31.31.253 dev lp
ip addr add 10.99.0.1 peer 10.99.0.2 dev ls
ip link set lp up
ip link set ls up
in_ns "$printer" ip addr add 172.31.31.253 peer 172.31.31.254 dev eth0
in_ns "$stranger" ip addr add 10.99.0.2 peer 10.99.0.1 dev eth0
for ns in "$printer" "$stranger"; do in_ns "$ns" ip link set lo up; in_ns "$ns" ip link set eth0 up; done
wait_or_fail "the printer's link did not come up" in_ns "$printer" ping -c1 -W1 172.31.31.254 >/dev/null
wait_or_fail "the stranger's link did not come up" in_ns "$stranger" ping -c1 -W1 10.99.0.1 >/dev/null
echo "ok: printer 172.31.31.253, stranger 10.99.0.2"

step "event log server (port 5002): this machine only"
mkdir -p "$X/root/print/log"
port=5002
LABELDOCK_ROOT=$X/root "$build/bin/eventlogd" >"$logs/eventlogd.out" 2>&1 &
pids+=($!)
wait_or_fail "eventlogd did not listen" listening "$port"
send_line() {  # send_line NS_PID|- ADDRESS LINE
  local ns=$1 addr=$2 line=$3
  local cmd='exec 3<>"/dev/tcp/$0/$1" && printf "%s\n" "$2" >&3 && sleep 0.3'
  local enter=()
  [ "$ns" = - ] || enter=(nsenter -t "$ns" -n)
  timeout 5 "${enter[@]}" bash -c "$cmd" "$addr" "$port" "$line" 2>/dev/null || true
}
send_line - 127.0.0.1 "exposure,from loopback"
send_line - 10.99.0.1 "exposure,from the board's own address"
send_line "$stranger" 10.99.0.1 "exposure,from a stranger"
send_line "$printer" 172.31.31.254 "exposure,from the printer"
wait_or_fail "the local lines were not written" grep -rqs "from the board's own address" "$X/root/print/log"
grep -rqs "from loopback" "$X/root/print/log" || fail "the line from loopback is missing"
sleep 0.5
! grep -rqs "from a stranger\|from the printer" "$X/root/print/log" || fail "eventlogd wrote a line from another host"
grep -q "refused client 10.99.0.2" "$logs/eventlogd.out" || fail "eventlogd did not say it refused 10.99.0.2"
echo "ok: lines from loopback and the board's address written; the stranger's and the printer's refused"

step "lighttpd with the fragment: the CGI folder for the touch screen and the printer only"
web=$X/var/www/html
mkdir -p "$web/cgi-bin" "$X/share"
printf '#!/bin/sh\nprintf "Content-Type: text/plain\\r\\n\\r\\nran\\n"\n' >"$web/cgi-bin/probe"
chmod 755 "$web/cgi-bin/probe"
echo page >"$web/index.html"
cp "$here/lighttpd/printer-address" "$X/share/"
wport=8080
conf=$("$build/bin/webserver" --root "$X" --port "$wport" --any-address --fragment "$here/lighttpd/50-labeldock.conf" \
  --share "$X/share" --write-only) || fail "the web server configuration cannot be written"
/usr/sbin/lighttpd -tt -f "$conf" || fail "lighttpd does not accept the fragment"
/usr/sbin/lighttpd -D -f "$conf" >"$logs/lighttpd.out" 2>&1 &
pids+=($!)
wait_or_fail "lighttpd did not come up" listening "$wport"
status() {  # status NS_PID|- URL
  local ns=$1 url=$2
  if [ "$ns" = - ]; then curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$url"
  else nsenter -t "$ns" -n curl --path-as-is -s -o /dev/null -w '%{http_code}' --max-time 5 "$url"; fi
}
while read -r who ns url want; do
  got=$(status "$ns" "$url")
  [ "$got" = "$want" ] || fail "$who: $url answered $got, not $want"
  echo "ok: $who: $url $got"
done <<TABLE
touch-screen - http://127.0.0.1:$wport/cgi-bin/probe 200
printer $printer http://172.31.31.254:$wport/cgi-bin/probe 200
stranger $stranger http://10.99.0.1:$wport/cgi-bin/probe 403
stranger-dot $stranger http://10.99.0.1:$wport/cgi-bin/./probe 403
stranger $stranger http://10.99.0.1:$wport/index.html 200
TABLE

step "RFID command port (5011): the printer only"
mkdir -p "$X/root/print"
(cd "$X/root/print" && LABELDOCK_ROOT=$X/root LABELDOCK_PRINTER_HOST=172.31.31.253 \
  exec "$build/bin/tagsmith" </dev/null >"$logs/tagsmith.out" 2>&1) &
pids+=($!)
wait_or_fail "tagsmith did not listen" listening 5011
ask_status() {  # ask_status NS_PID ADDRESS: what the port answers to a status question
  local cmd='exec 3<>"/dev/tcp/$0/5011" && printf "cmd=status" >&3 && timeout 2 cat <&3'
  timeout 5 nsenter -t "$1" -n bash -c "$cmd" "$2" 2>/dev/null || true
}
got=$(ask_status "$stranger" 10.99.0.1)
[ -z "$got" ] || fail "tagsmith answered a stranger: $got"
wait_or_fail "tagsmith did not say it refused 10.99.0.2" grep -q "refused connection from 10.99.0.2" "$logs/tagsmith.out"
got=$(ask_status "$printer" 172.31.31.254)
case "$got" in *"<OK>"*) ;; *) fail "tagsmith did not answer the printer: '$got'" ;; esac
echo "ok: the stranger closed unanswered and logged, the printer answered ($got)"

echo
echo "exposure test passed"
