# A short pass of the appliance from an installed tree D (also its LABELDOCK_ROOT), with the
# printer played by printersim and the test tools from $tools: the daemons and timers run their
# units' command lines, the CGI programs run under lighttpd configured with our fragment.
# A job is received, gets its thumbnail, shows in the job browser, is printed from its page and
# reaches the printer; its arrival is in the event log.
# Sourced by install_test.sh. When the demo's one-pass mode can run the programs of an installed
# tree, it can take this function's place.

# lighttpd as on the board (Debian's base modules, the document root, www-data) plus our
# fragment, configured by the test web server's writer; the only additions are the root and the
# endpoints for the CGI programs.
start_lighttpd() {
  local port=$1 conf share user=()
  # The fragment's helper (the printer's address) is run from the tree.
  share=$(unit_bindir "$D")
  share=${share%/bin}/share/labeldock
  [ "$(id -u)" = 0 ] && user=(--user www-data)
  conf=$("$tools/webserver" --root "$D" --port "$port" --fragment "$D/etc/lighttpd/conf-available/50-labeldock.conf" \
    --share "$D$share" "${user[@]}" --write-only) || fail "the web server configuration cannot be written"
  ln -sfn "$D/var/log/lighttpd" "$D/test/web"  # its logs among the test's
  /usr/sbin/lighttpd -tt -f "$conf" || fail "lighttpd does not accept the configuration with our fragment"
  /usr/sbin/lighttpd -D -f "$conf" >"$D/test/lighttpd.out" 2>&1 &
  pids+=($!)
  wait_or_fail "lighttpd did not come up" listening "$port"
}

get() { curl -s -o "$D/test/reply" -w '%{http_code}' "http://127.0.0.1:$WEB_PORT$1"; }

appliance_pass() {
  export LABELDOCK_ROOT=$D
  mkdir -p "$D/test"
  logs=$D/test
  local job="Deploy label" code n

  step "appliance pass from the installed tree"
  "$tools/printersim" --dir "$D/test/printer" >"$D/test/printersim.log" 2>&1 &
  pids+=($!)
  wait_or_fail "printersim did not start" test -s "$D/test/printer/ports"
  set -a; . "$D/test/printer/ports"; set +a

  export LABELDOCK_EVENTLOG_PORT=$(free_port) LABELDOCK_RECEIVER_PORT=$(free_port)
  start_unit "$D" labeldock-eventlogd.service "$D/test/eventlogd.log"
  wait_or_fail "eventlogd does not listen" listening "$LABELDOCK_EVENTLOG_PORT"
  start_unit "$D" labeldock-jobcatcher.service "$D/test/jobcatcher.log"
  wait_or_fail "jobcatcher does not listen" listening "$LABELDOCK_RECEIVER_PORT"
  WEB_PORT=$(free_port)
  start_lighttpd "$WEB_PORT"

  run_unit "$D" labeldock-status.service
  grep -q SystemState "$D/var/www/html/cgi-bin/system.json" || fail "status unit: no status document behind cgi-bin/system.json"
  echo "ok: status document in /run/labeldock, read through cgi-bin/system.json"

  "$tools/zjsgen" --pages 2 --capture "$job" -o "$D/test/job.cap"
  "$tools/jobsend" "127.0.0.1:$LABELDOCK_RECEIVER_PORT" "$D/test/job.cap"
  wait_or_fail "the job was not stored" test -f "$D/print/prns/tmp/$job.prn"
  wait_or_fail "no flag file" test -e "$D/tmp/run_prn2jpg"
  run_unit "$D" labeldock-thumbmaker.service
  [ ! -e "$D/tmp/run_prn2jpg" ] || fail "the thumbnail unit left the flag file"
  [ -s "$D/print/prns/thumbs/$job.jpeg" ] && [ -f "$D/print/prns/$job.prn" ] || fail "no thumbnail or job not moved"
  # The upload check runs as root and leaves a flag that www-data may not remove from /tmp.
  touch "$D/tmp/run_prn2jpg"
  run_unit "$D" labeldock-thumbmaker.service
  [ ! -e "$D/tmp/run_prn2jpg" ] || fail "the thumbnail unit left a flag file raised by root"
  echo "ok: received by jobcatcher, thumbnail by the thumbmaker unit (which also clears a root's flag)"

  code=$(get "/cgi-bin/jobdesk?list=1&sortby=name")
  [ "$code" = 200 ] && grep -q "$job" "$D/test/reply" || fail "job browser list ($code): $(head -c 300 "$D/test/reply")"
  code=$(get "/thumbs/Deploy%20label.jpeg")
  [ "$code" = 200 ] || fail "thumbnail under /thumbs/: $code"
  code=$(get "/cgi-bin/tags.json")
  [ "$code" = 200 ] && grep -q Tags "$D/test/reply" || fail "cgi-bin/tags.json is not served as a file ($code)"
  code=$(get "/cgi-bin/ewsrelay?path=%2Fstatus%2Fui")
  [ "$code" = 200 ] && grep -q ui_ip "$D/test/reply" || fail "the relay through its link in cgi-bin ($code)"
  code=$(get "/cgi-bin/.jobdesk.data")
  [ "$code" = 403 ] || fail "a settings file of the CGI folder is served: $code"
  echo "ok: lighttpd with the fragment runs the job browser and the relay, serves documents and thumbnails, hides .data"

  code=$(get "/cgi-bin/jobdesk?prn=Deploy%20label.prn&from=1&to=1&dm_copies=1&do_print=Print")
  [ "$code" = 200 ] || fail "print from the job page: $code"
  [ "$(stat -c %s "$D/print/printq/printq" 2>/dev/null || echo 0)" = 852 ] || fail "the job was not queued"
  run_unit "$D" labeldock-status.service
  run_unit "$D" labeldock-print.service
  wait_or_fail "the printer got no job" grep -q '^job 1 end' "$D/test/printer/raw.log"
  code=$(get "/cgi-bin/queuejson")
  [ "$code" = 200 ] && grep -q jobs "$D/test/reply" || fail "queue report ($code): $(head -c 200 "$D/test/reply")"
  echo "ok: queued from the job page, spooled and sent by the print unit, queue report answers"

  n=$(cat "$D"/print/log/*.log 2>/dev/null | grep -c "$job" || true)
  [ "$n" -gt 0 ] || fail "no event line about the job in /print/log"
  echo "ok: $n event line(s) about the job in /print/log"
}

# The demo's scripted pass (`script/demo --once --bin DIR --root DIR`) with the installed
# programs: DIR holds links to the tree's programs and CGI programs, then to the test tools of
# $tools that the tree does not hold. Its sandbox is a root of its own inside the tree, since the
# demo lays out its documents and CGI folder itself. Skipped with a line while the demo has no
# such mode.
demo_once_from_tree() {
  local top=$1 bin=$D/test/demo-bin p n
  step "the demo's scripted pass with the installed programs"
  if ! grep -q -- '--once' "$top/script/demo" || ! grep -q -- '--bin DIR' "$top/script/demo"; then
    echo "skipped: script/demo has no --once pass with --bin yet"
    return 0
  fi
  mkdir -p "$bin"
  for p in "$D$(unit_bindir "$D")"/* "$D"/var/www/html/cgi-bin/* "$tools"/*; do
    n=$(basename "$p")
    [ -f "$p" ] && [ -x "$p" ] && [ ! -e "$bin/$n" ] && [[ $n != *_test ]] && ln -s "$p" "$bin/$n"
  done
  "$top/script/demo" --once --bin "$bin" --root "$D/demo-root" >"$D/test/demo.log" 2>&1 ||
    fail "script/demo --once with the installed programs: $(sed -n '/== summary/,$p' "$D/test/demo.log")"
  sed -n '/== summary/,$p' "$D/test/demo.log"
}
