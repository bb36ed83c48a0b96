# The event log: eventlogd keeps the day files under print/log, and the log client that every
# program hands its event lines to ("/home/pi/log_client") delivers them to it with the tag ui.
section "event log"
export LABELDOCK_EVENTLOG_PORT=$(free_port)
start eventlogd "$BIN/eventlogd"
wait_port "$LABELDOCK_EVENTLOG_PORT"
ln -sf "$BIN/log_client" "$LABELDOCK_ROOT/home/pi/log_client"
echo "eventlogd listens on port $LABELDOCK_EVENTLOG_PORT, writing to $LABELDOCK_ROOT/print/log"
echo "log client: $LABELDOCK_ROOT/home/pi/log_client -> $BIN/log_client"
echo "demo started" | "$BIN/log_client" --tag sys
# Prints every day file (records end in CR LF on disk).
show_events() {
  section "event log day files"
  sleep 0.2  # the last lines may still be on their way
  for f in "$LABELDOCK_ROOT"/print/log/*.log; do
    [ -e "$f" ] || { echo "(no day files)"; return 0; }
    echo "$(basename "$f"):"
    tr -d '\r' < "$f" | sed 's/^/  /'
  done
  if [ -s "$WORK/eventlogd.log" ]; then echo "eventlogd console:"; sed 's/^/  /' "$WORK/eventlogd.log"; fi
}
