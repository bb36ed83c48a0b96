#!/usr/bin/env bash
# The appliance's spooler trigger: whenever the print queue changes (the queue file is replaced
# on every change, so its inode, size or time differs) or printing is paused or resumed, spoold
# makes a pass, and pjlsend is started unless one is still sending. pjlsend ends once the queue
# has no ready job; a change seen while it was still running is answered by a new one once it
# ended, so a job spooled just as the sender was leaving is not stranded. Looked at every 0.2 s.
#   spool.trigger SPOOLD PJLSEND      (LABELDOCK_ROOT names the appliance root)
set -u
queue=$LABELDOCK_ROOT/print/printq/printq
pause=$LABELDOCK_ROOT/print/printq/pause
state() { echo "$(stat -c '%i %s %.9Y' "$queue" 2>/dev/null) $([ -e "$pause" ] && echo paused)"; }
spooled=""   # the state spoold last saw
sent=""      # the state when pjlsend was last started
sender=""
while :; do
  now=$(state)
  if [ "$now" != "$spooled" ]; then
    spooled=$now
    echo "$(date +%T) spoold"
    "$1"
    now=$(state)
  fi
  if [ "$now" != "$sent" ] && { [ -z "$sender" ] || ! kill -0 "$sender" 2>/dev/null; }; then
    [ -n "$sender" ] && wait "$sender" 2>/dev/null
    sent=$now
    echo "$(date +%T) pjlsend"
    "$2" &
    sender=$!
  fi
  sleep 0.2
done
