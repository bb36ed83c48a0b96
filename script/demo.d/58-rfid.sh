# RFID encoding of the printed labels: while a job of three labels prints, the printer simulator's
# command client drives tagsmith as the printer does: status, setscan, tag events on, both modules
# reading. The readers' control file moves the three labels from the entry module to the exit
# module, four inventory cycles at each place; the printer reports each label's position, stops
# the reads, has the third label written with a new EPC by its table index, reads the exit module
# once more and lists the tables. What reached the printer's web pages shows the tag events and
# the write result. The printer ends tagsmith with "Q" when the demo ends (17-rfid.sh).
once_only || return 0
section "RFID encoding while labels print"
if ! wait_for 30 grep -q "main loop" "$WORK/tagsmith.log"; then
  road rfid FAIL "tagsmith did not find its modules"
  tail -20 "$WORK/tagsmith.log" | sed 's/^/  /'
  return 0
fi
echo "tagsmith: $(grep -o 'modules determined from file.*' "$WORK/tagsmith.log" | head -1)"

rfid_replies() { if [ -e "$RFID_LOG" ]; then awk '/^reply/ {n++} END {print n + 0}' "$RFID_LOG"; else echo 0; fi; }
rfid_answered() { [ "$(rfid_replies)" -gt "$1" ]; }
# printer_says MSG...: the printer sends each message after the reply to the one before; each
# message is shown with its reply (the checks at the end judge what came of it).
printer_says() {
  local msg n
  for msg in "$@"; do
    n=$(rfid_replies)
    printf '%s\n' "$msg" >> "$RFID_SCRIPT"
    if wait_for 20 rfid_answered "$n"; then
      echo "  $msg -> $(grep '^reply' "$RFID_LOG" | tail -1 | cut -d' ' -f2-)"
    else
      echo "  $msg -> (no reply)"
    fi
  done
}
# The number of the latest inventory a module answered.
inventories() { awk -v m="$1" '$1 == m && $2 == "inventory" {n = $3} END {print n + 0}' "$READERS_DIR/readersim.log"; }
reached() { [ "$(inventories "$1")" -ge "$2" ]; }
# Replaces the readers' control file whole, as readersim wants it, keeping the modules' pace.
readers_control() { printf 'ttyUSB0 delay 30\nttyUSB1 delay 30\n%s' "$1" > "$READERS_DIR/control.new"; mv "$READERS_DIR/control.new" "$READERS_DIR/control"; }
# Quiet once the readersim log has not grown for a moment: no inventory is in flight.
readers_quiet() { local n; n=$(wc -l < "$READERS_DIR/readersim.log"); sleep 0.3; [ "$(wc -l < "$READERS_DIR/readersim.log")" = "$n" ]; }
web_events() { grep -o ' /job/rfid_[^ ]*' "$PRINTERSIM_DIR/requests.log" 2>/dev/null | sed 's/^ //' || true; }

epc() { printf '300833B2DDD90140000000%s' "$1"; }
NEW_EPC=$(epc A3)
before_print=$(printer_jobs)
echo "the job page of Shipping label 42, Print pressed with 3 copies: three labels to encode"
submit_job_form "Shipping label 42.prn" do_print dm_copies=3 >/dev/null
echo "the printer's command link:"
e=$(inventories ttyUSB0) x=$(inventories ttyUSB1)
printer_says cmd=status cmd=setscan
if ! grep -q '^reply mods=2&conf=1&' "$RFID_LOG"; then
  road rfid FAIL "tagsmith does not answer the printer's status with both modules decided"
  tail -20 "$WORK/tagsmith.log" | sed 's/^/  /'
  return 0
fi
# setscan has each module read once.
wait_for 10 eval 'reached ttyUSB0 $((e + 1)) && reached ttyUSB1 $((x + 1))' || true
wait_for 10 readers_quiet || true
e=$(inventories ttyUSB0) x=$(inventories ttyUSB1)
# From the next inventory on: label k under the entry module in cycles 4k-3..4k, under the exit
# module four cycles later; the third stays under the exit module, where it is written.
readers_control "ttyUSB0 cycle $((e + 1))-$((e + 4)) $(epc 01)
ttyUSB0 cycle $((e + 5))-$((e + 8)) $(epc 02)
ttyUSB0 cycle $((e + 9))-$((e + 12)) $(epc 03)
ttyUSB0 cycle $((e + 13))-
ttyUSB1 cycle $((x + 5))-$((x + 8)) $(epc 01)
ttyUSB1 cycle $((x + 9))-$((x + 12)) $(epc 02)
ttyUSB1 cycle $((x + 13))- $(epc 03)
"
echo "readers' control file (cycles counted by each module since it started):"; sed 's/^/  /' "$READERS_DIR/control"
printer_says cmd=M cmd=B
for k in 1 2 3; do
  wait_for 20 reached ttyUSB0 $((e + 4 * k - 3)) || true
  printer_says "tag at $((k * 100))"
done
wait_for 20 reached ttyUSB1 $((x + 14)) || true
printer_says cmd=q
wait_for 10 readers_quiet || true
printer_says "write=$(epc 03)&data=$NEW_EPC&index=3"
wait_for 10 eval 'web_events | grep -q "rfid_wtag_result.*epc=$NEW_EPC"' || true
printer_says cmd=k
wait_for 10 eval 'web_events | grep -q "rfid_exittag?st=1.*epc=$NEW_EPC"' || true
printer_says cmd=read_modules cmd=exit_read
listing=$(grep '^reply' "$RFID_LOG" | tail -1)
printer_says cmd=s
echo "tagsmith's own listing of the tables (its console):"
wait_for 5 eval 'sed -n "/^set cmd s\$/,\$p" "$WORK/tagsmith.log" | grep -q "^failed writes"' || true
sed -n '/^set cmd s$/,/^failed writes/p' "$WORK/tagsmith.log" | tail -n +3 | sed 's/^/  /'
echo "what reached the printer's web pages (readersim log: $READERS_DIR/readersim.log):"
web_events | sed 's/^/  /'

events=$(web_events | grep -c -E 'rfid_(ntag|exittag)' || true)
labels=0
for k in 01 02 03; do
  web_events | grep -q "rfid_ntag?st=1.*epc=$(epc $k)$" && web_events | grep -q "rfid_exittag?st=1.*epc=$(epc $k)$" &&
    labels=$((labels + 1))
done
wrote=$(web_events | grep -c "rfid_wtag_result?state=0&err=0&index=3&epc_len=12&epc=$NEW_EPC$" || true)
if wait_for 30 has_printed "Shipping label 42" "$before_print"; then
  printed=$(printed_job "Shipping label 42" "$before_print")
  echo "meanwhile the printer got job $printed: $(grep "^job $printed name" "$PRINTERSIM_DIR/raw.log" | cut -d' ' -f4-)"
else
  printed=""
fi
if [ "$labels" = 3 ] && [ "$wrote" = 1 ] &&
   [[ $listing == *"\"$NEW_EPC\""* ]] && [ -n "$printed" ]; then
  road rfid ok "3 labels seen entering and leaving while job $printed printed; $events tag events and the write of label 3's new EPC reported to the printer"
else
  road rfid FAIL "labels seen at entry and exit: $labels of 3, write results: $wrote, printed: '${printed}'"
  tail -30 "$WORK/tagsmith.log" | sed 's/^/  /'
fi
