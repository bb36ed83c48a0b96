# A workstation sends two jobs to the receiver: one made by a real printer driver (foo2zjs) from
# a page drawn with netpbm, one generated.
section "job receiver"
export LABELDOCK_RECEIVER_PORT=$(free_port)
start jobcatcher "$BIN/jobcatcher"
wait_port "$LABELDOCK_RECEIVER_PORT"
echo "jobcatcher listens on 127.0.0.1:$LABELDOCK_RECEIVER_PORT"

# A letter page: a frame, a filled box and some text, as the driver would get it from a
# workstation, printed by foo2zjs at 600 dpi.
pbmmake -white 1200 1600 > "$WORK/page.pbm"
pbmtext "labeldock demo" | pnmenlarge 6 | pnmpad -black -left 4 -right 4 -top 4 -bottom 4 > "$WORK/text.pbm"
pnmpaste -replace "$WORK/text.pbm" 150 200 "$WORK/page.pbm" > "$WORK/page2.pbm"
pbmmake -black 600 400 | pnmpaste -replace - 300 800 "$WORK/page2.pbm" > "$WORK/page.pbm"
foo2zjs -r600x600 -g1200x1600 -p1 -z0 < "$WORK/page.pbm" > "$WORK/driver.zjs" 2>/dev/null
python3 - "$WORK/driver.zjs" "$WORK/driver.cap" "Shipping label 42" <<'PY'
import struct, sys
stream = open(sys.argv[1], 'rb').read()
pre = b'\x1b%-12345X@PJL JOB WNAME = "' + sys.argv[3].encode().hex().upper().encode() + b'"\r\n'
body = pre + stream
open(sys.argv[2], 'wb').write(body + struct.pack('>I', len(body) + 4))
PY
"$BIN/jobsend" "127.0.0.1:$LABELDOCK_RECEIVER_PORT" "$WORK/driver.cap"
# The generated one carries the printer options of the sample option schema (cutter, media, gap
# length, speed, darkness), so its job page shows them.
"$BIN/zjsgen" --pages 3 --no-pagecount --payload 20000 --doc-item 0x8601=1 --doc-item 0x8604=1 \
  --doc-item 0x8605=250 --doc-item 0x8606=3 --doc-item 0x8607=-1 --capture "Pallet tags" -o "$WORK/generated.cap"
"$BIN/jobsend" "127.0.0.1:$LABELDOCK_RECEIVER_PORT" "$WORK/generated.cap"
wait_file "$LABELDOCK_ROOT/print/prns/tmp/Pallet tags.prn" || true

echo "stored in the waiting directory:"
for f in "$LABELDOCK_ROOT"/print/prns/tmp/*.prn; do
  pages=$(zjsdecode < "$f" 2>/dev/null | grep -c 'ZJT_START_PAGE' || true)
  printf '  %-28s %8d bytes  %d page(s)\n' "$(basename "$f")" "$(stat -c %s "$f")" "$pages"
done
[ -e "$LABELDOCK_ROOT/tmp/run_prn2jpg" ] && echo "flag file raised: $LABELDOCK_ROOT/tmp/run_prn2jpg"
echo "jobcatcher console:"; sed 's/^/  /' "$WORK/jobcatcher.log"
if [ -e "$LABELDOCK_ROOT/print/prns/tmp/Shipping label 42.prn" ] && [ -e "$LABELDOCK_ROOT/print/prns/tmp/Pallet tags.prn" ]; then
  road receive ok "two jobs over the network stored in the waiting directory, flag file raised"
else
  road receive FAIL "the jobs sent are not both in the waiting directory"
fi
