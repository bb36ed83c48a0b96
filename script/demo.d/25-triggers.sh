# The appliance's helpers that run the command-line programs: the thumbnail trigger renders new
# jobs when the flag file appears, the spooler trigger runs spoold and pjlsend when the print
# queue changes. From here on every job received or queued goes its way on its own.
section "triggers"
start thumb-trigger script/demo.d/thumb.trigger "$BIN/thumbmaker"
start spool-trigger script/demo.d/spool.trigger "$BIN/spoold" "$BIN/pjlsend"
echo "thumbnail trigger: thumbmaker whenever $LABELDOCK_ROOT/tmp/run_prn2jpg appears (log $WORK/thumb-trigger.log)"
echo "spooler trigger: spoold and pjlsend whenever the print queue changes (log $WORK/spool-trigger.log)"
# True once no job waits for its thumbnail.
nothing_waiting() { ! ls "$LABELDOCK_ROOT"/print/prns/tmp/*.prn >/dev/null 2>&1 && [ ! -e "$LABELDOCK_ROOT/tmp/run_prn2jpg" ]; }
