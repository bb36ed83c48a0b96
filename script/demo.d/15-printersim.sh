# The printer: a stand-in with the raw print port, which records every job it is sent, and the
# web server with the printer's status pages, on free loopback ports. The later steps reach it
# through the endpoint variables it writes to its ports file.
section "printer simulator"
PRINTERSIM_DIR=$WORK/printer
# The printer is also the client of the RFID encoder's command port; it connects once its
# script (rfid_script in its folder) holds a message.
export LABELDOCK_RFID_PORT=$(free_port)
start printersim "$BIN/printersim" --dir "$PRINTERSIM_DIR" --rfid-port "$LABELDOCK_RFID_PORT"
wait_file "$PRINTERSIM_DIR/ports"
set -a
. "$PRINTERSIM_DIR/ports"   # LABELDOCK_PRINTER_HOST, _RAW_PORT, _WEB_PORT
set +a
export PRINTERSIM_DIR
echo "printersim: raw port $LABELDOCK_PRINTER_HOST:$LABELDOCK_PRINTER_RAW_PORT, web server $LABELDOCK_PRINTER_HOST:$LABELDOCK_PRINTER_WEB_PORT"
echo "jobs sent to the printer are recorded in $PRINTERSIM_DIR/jobs/ (NNNN.pjl header, NNNN.prn job)"
echo "requests to its web server are logged in $PRINTERSIM_DIR/requests.log"
echo "its state (online or not, answering or silent) follows $PRINTERSIM_DIR/control (see printersim --help)"
echo "its status page, as the appliance fetches it:"
exec 3<>"/dev/tcp/$LABELDOCK_PRINTER_HOST/$LABELDOCK_PRINTER_WEB_PORT"
printf 'GET /status/system HTTP/1.0\r\n\r\n' >&3
tr -d '\r' <&3 | sed 's/^/  /'
exec 3<&-
# The number of the first job whose name begins with NAME that the printer got after job AFTER
# and took whole, or nothing yet.
printed_job() {
  awk -v name="$1" -v after="${2:-0}" '$1 == "job" && $2 > after && $3 == "name" && index(substr($0, index($0, "name ") + 5), name) == 1 { n[$2] = 1 }
    $1 == "job" && $3 == "end" && n[$2] { print $2; exit }' "$PRINTERSIM_DIR/raw.log" 2>/dev/null
}
# How many connections the printer has had so far.
printer_jobs() { grep -c ' open$' "$PRINTERSIM_DIR/raw.log" 2>/dev/null || true; }
# One line per job the printer got: number, name, bytes, pages, how it ended.
printer_summary() {
  local n name bytes pages end
  for n in $(awk '$1 == "job" && $3 == "open" {print $2}' "$PRINTERSIM_DIR/raw.log" 2>/dev/null); do
    name=$(awk -v n="$n" '$1 == "job" && $2 == n && $3 == "name" {print substr($0, index($0, "name ") + 5)}' "$PRINTERSIM_DIR/raw.log")
    end=$(awk -v n="$n" '$1 == "job" && $2 == n && $3 != "open" && $3 != "name" && $3 != "say" {$1 = $2 = ""; print substr($0, 3)}' "$PRINTERSIM_DIR/raw.log" | tail -1)
    local f; f=$PRINTERSIM_DIR/jobs/$(printf '%04d' "$n").prn
    bytes=$(stat -c %s "$f" 2>/dev/null || echo 0)
    pages=$(zjsdecode < "$f" 2>/dev/null | grep -c ZJT_START_PAGE || true)
    printf 'job %s  %-26s %8s bytes  %s page(s)  %s\n' "$n" "\"$name\"" "$bytes" "$pages" "${end:-(still open)}"
  done
  [ -n "$(awk '$3 == "open"' "$PRINTERSIM_DIR/raw.log" 2>/dev/null)" ] || echo "(no job reached the printer)"
}
has_printed() { [ -n "$(printed_job "$@")" ]; }
