# The event log. Until the event log server runs here, the stand-in log client appends every
# event line to a file, so the demo can show what each program logged.
section "event log"
cat >"$LABELDOCK_ROOT/home/pi/log_client" <<CLIENT
#!/bin/sh
cat >> "$LABELDOCK_ROOT/print/log/events.txt"
CLIENT
chmod +x "$LABELDOCK_ROOT/home/pi/log_client"
echo "log client: $LABELDOCK_ROOT/home/pi/log_client"
show_events() { section "event log lines"; cat "$LABELDOCK_ROOT/print/log/events.txt" 2>/dev/null || true; }
