# Printing a received job: queued as the job browser queues it (page 1, two collated copies,
# media type item set), filtered out of the queue by spoold, and sent by pjlsend behind the PJL
# job header to the printer simulator, which shows what it got.
section "print"
print_job=""
for f in "$LABELDOCK_ROOT/print/prns/Shipping label 42.prn" "$LABELDOCK_ROOT/print/prns/tmp/Shipping label 42.prn" \
         "$LABELDOCK_ROOT"/print/prns/*.prn "$LABELDOCK_ROOT"/print/prns/tmp/*.prn; do
  [ -f "$f" ] && { print_job=$f; break; }
done
if [ -z "$print_job" ]; then
  echo "no received job to print"
else
  # The printer gate trusts the status document only while it is fresh; the status step keeps it
  # so. Without that step, copy the printer's status page here.
  if [ -z "${STATUS_DOC:-}" ]; then
    STATUS_DOC=$LABELDOCK_ROOT/var/www/html/cgi-bin/system.json
    start status-copy bash -c 'while :; do
        exec 3<>"/dev/tcp/$LABELDOCK_PRINTER_HOST/$LABELDOCK_PRINTER_WEB_PORT" || exit 1
        printf "GET /status/system HTTP/1.0\r\n\r\n" >&3
        tr -d "\r" <&3 | grep "^{" > "$1.new" && mv "$1.new" "$1"; exec 3<&-; sleep 0.5; done' status-copy "$STATUS_DOC"
    wait_file "$STATUS_DOC"
  fi
  printersim_jobs=$(ls "$PRINTERSIM_DIR/jobs" 2>/dev/null | grep -c '[.]pjl$' || true)
  spl=$("$BIN/queuejob" "$print_job" --from 1 --to 1 --copies 2 --collate --item 6=2 2>/dev/null)
  echo "queued $(basename "$print_job") as $spl"
  echo "pjlsend -dump:"
  "$BIN/pjlsend" -dump 2>/dev/null | sed 's/^/  /'
  echo "spoold:"
  { "$BIN/spoold" || true; } 2>/dev/null | sed 's/^/  /'
  prn=${spl%spl}prn
  filtered=$(stat -c %s "$prn")
  echo "pjlsend (the send loop; its standard error in $WORK/pjlsend.err):"
  { timeout 30 "$BIN/pjlsend" || true; } 2>"$WORK/pjlsend.err" | sed 's/^/  /'
  n=$(printf '%04d' $((printersim_jobs + 1)))
  wait_file "$PRINTERSIM_DIR/jobs/$n.prn"
  for _ in $(seq 1 100); do grep -q "^job $((10#$n)) end" "$PRINTERSIM_DIR/raw.log" && break; sleep 0.05; done
  echo "the printer got (printersim, job $n):"
  tr -d '\r' < "$PRINTERSIM_DIR/jobs/$n.pjl" | cat -v | sed 's/^/  header: /'
  echo "  job bytes: $(stat -c %s "$PRINTERSIM_DIR/jobs/$n.prn") (the filtered file had $filtered)," \
       "$(zjsdecode < "$PRINTERSIM_DIR/jobs/$n.prn" 2>/dev/null | grep -c ZJT_START_PAGE || true) pages"
  grep "^job $((10#$n)) " "$PRINTERSIM_DIR/raw.log" | sed 's/^/  raw.log: /'
  echo "queue afterwards: $("$BIN/pjlsend" -dump 2>/dev/null | grep njobs)"
fi
