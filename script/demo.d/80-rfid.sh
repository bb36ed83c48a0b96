# The RFID encoder: two reader modules simulated on pseudo-terminals, tagsmith deciding which one
# sees the labels enter (the one with a label under it), and the printer's side of the command
# link played from a script by a second printersim; the tag events and the write result land on
# the printer simulator's web server.
section "RFID encoder"
RFID_DIR=$WORK/rfid
mkdir -p "$RFID_DIR"
readers_control() { printf '%s\n' "$@" >"$RFID_DIR/readers/control.new"; mv "$RFID_DIR/readers/control.new" "$RFID_DIR/readers/control"; }
LABEL_A=300833B2DDD9014000000001
LABEL_B=300833B2DDD9014000000002
mkdir -p "$RFID_DIR/readers"
readers_control "ttyUSB0 delay 20" "ttyUSB1 delay 20" "ttyUSB0 field $LABEL_B $LABEL_A"
start readersim "$BIN/readersim" --dir "$RFID_DIR/readers" --module ru5202 --module ru5202
wait_file "$RFID_DIR/readers/ports"
RFID_PORT=$(free_port)
cd "$RFID_DIR"   # its tag dump files, should it be asked for them
start tagsmith env LABELDOCK_RFID_PORT="$RFID_PORT" "$BIN/tagsmith"
cd "$top"
echo "tagsmith: command port $RFID_PORT; discovery takes a few seconds per pass ..."
for _ in $(seq 1 900); do grep -q "main loop" "$WORK/tagsmith.log" && break; sleep 0.1; done
grep -q "main loop" "$WORK/tagsmith.log" || { echo "demo: tagsmith did not decide its modules" >&2; tail -20 "$WORK/tagsmith.log" >&2; return 1; }
echo "modules decided, remembered in $LABELDOCK_ROOT/print/rfid_modules.txt:"
sed 's/^/  /' "$LABELDOCK_ROOT/print/rfid_modules.txt"

# The printer: a fresh scan, labels on, then the label moves from the entry to the exit module,
# a tag is written for table index 12, and the encoder is told to quit.
script=$RFID_DIR/printer/rfid_script
mkdir -p "$RFID_DIR/printer"
printf 'cmd=status\ncmd=setscan\npause 500\ncmd=C\ncmd=I\n' >"$script"
start printersim-rfid "$BIN/printersim" --dir "$RFID_DIR/printer" --rfid-port "$RFID_PORT"
for _ in $(seq 1 100); do grep -q "rfid_ntag?st=1.*$LABEL_A" "$PRINTERSIM_DIR/requests.log" 2>/dev/null && break; sleep 0.1; done
readers_control "ttyUSB0 delay 20" "ttyUSB1 delay 20" "ttyUSB0 field $LABEL_B" "ttyUSB1 field $LABEL_A"
for _ in $(seq 1 100); do grep -q "rfid_exittag?st=1.*$LABEL_A" "$PRINTERSIM_DIR/requests.log" 2>/dev/null && break; sleep 0.1; done
printf 'cmd=q\npause 300\ncmd=exit_read\nwrite=%s&data=300833B2DDD901400000000C&index=12\npause 1000\nQ\n' "$LABEL_A" >>"$script"
for _ in $(seq 1 100); do grep -q "rfid_wtag_result" "$PRINTERSIM_DIR/requests.log" 2>/dev/null && break; sleep 0.1; done
for _ in $(seq 1 100); do grep -q "exitting" "$WORK/tagsmith.log" && break; sleep 0.1; done
echo "the printer's messages and the encoder's replies ($RFID_DIR/printer/rfid.log):"
sed 's/^/  /' "$RFID_DIR/printer/rfid.log"
echo "tag events and write results the printer's web server received:"
{ grep -E "rfid_(ntag|exittag|wtag_result)" "$PRINTERSIM_DIR/requests.log" || echo "(none)"; } | sed 's/^/  /'
