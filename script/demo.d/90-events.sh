# The event log of the whole pass: every program's event lines, through the log client, in the
# day files of eventlogd.
once_only || return 0
show_events
day=$(date +%F)
if grep -q "prnfilt from=" "$LABELDOCK_ROOT/print/log/ui_$day.log" 2>/dev/null &&
   grep -q "run upload_prns" "$LABELDOCK_ROOT/print/log/ui_$day.log" 2>/dev/null &&
   grep -q "demo started" "$LABELDOCK_ROOT/print/log/sys_$day.log" 2>/dev/null; then
  road events ok "the job browser's and the USB script's event lines are in the day files"
else
  road events FAIL "event lines missing from $LABELDOCK_ROOT/print/log"
fi
