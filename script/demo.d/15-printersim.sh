# The printer: a stand-in with the raw print port, which records every job it is sent, and the
# web server with the printer's status pages, on free loopback ports. The later steps reach it
# through the endpoint variables it writes to its ports file.
section "printer simulator"
PRINTERSIM_DIR=$WORK/printer
start printersim "$BIN/printersim" --dir "$PRINTERSIM_DIR"
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
