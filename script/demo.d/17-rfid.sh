# The RFID encoder: readersim stands in for the two reader modules, published under the sandbox
# root as dev/ttyUSB0 and dev/ttyUSB1 (with the USB serial entries tagsmith looks for), and
# tagsmith takes the printer's commands on the RFID port, where the printer simulator's command
# client connects, and reports tag events and write results to the printer's web pages. Both come
# up this early because tagsmith's discovery of its modules takes about six seconds.
# 58-rfid.sh drives them in the scripted pass.
section "RFID encoder"
READERS_DIR=$WORK/readers
RFID_SCRIPT=$PRINTERSIM_DIR/rfid_script   # what the printer sends, one message a line
RFID_LOG=$PRINTERSIM_DIR/rfid.log         # what it sent and the replies it got
mkdir -p "$READERS_DIR"
# Each module answers after 30 ms, as a real one takes its time: continuous reading then paces
# itself instead of keeping two processes busy.
printf 'ttyUSB0 delay 30\nttyUSB1 delay 30\n' > "$READERS_DIR/control"
# The module file an earlier run of the appliance left: which module sees the labels enter, which
# one writes them as they leave, and their power. Without it tagsmith would find out by a label
# lying under the entry module only, in a second discovery pass of another six seconds.
printf 'ENTRY %s 52000000 1\nEXIT %s 52000001 1\n' "$LABELDOCK_ROOT/dev/ttyUSB0" "$LABELDOCK_ROOT/dev/ttyUSB1" \
  > "$LABELDOCK_ROOT/print/rfid_modules.txt"
start readersim "$BIN/readersim" --dir "$READERS_DIR" --module ru5202 --module ru5202
wait_file "$READERS_DIR/ports"
cd "$WORK"   # where its tag dump files go, should it be asked for them
start tagsmith "$BIN/tagsmith"
cd "$top"
TAGSMITH_PID=${pids[-1]}
echo "readersim: two RU5202 modules: $(awk '{printf "%s%s -> %s", (NR > 1 ? ", " : ""), $1, $3}' "$READERS_DIR/ports")"
echo "  the labels in their fields follow $READERS_DIR/control (see docs/readersim.md); log readersim.log there"
echo "tagsmith: command port $LABELDOCK_RFID_PORT, events to the printer's web server (console $WORK/tagsmith.log)"
echo "the printer's messages to it: one a line in $RFID_SCRIPT, sent in turn; replies in $RFID_LOG"

# True while a process runs (an ended child not yet waited for does not).
running() { local s; s=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $s != Z* ]]; }
# As the appliance goes down the printer ends the encoder with "Q": tagsmith closes its ports and
# exits on its own. One still looking for its modules cannot take it and is stopped with the rest.
rfid_end() {
  running "$TAGSMITH_PID" || return 0
  printf 'Q\n' >> "$RFID_SCRIPT"
  if wait_for 5 eval '! running "$TAGSMITH_PID"'; then
    local status=0
    wait "$TAGSMITH_PID" || status=$?
    echo "tagsmith ended on the printer's Q (status $status)"
  else
    echo "tagsmith did not end on the printer's Q; stopped"
  fi
}
at_end+=(rfid_end)
