# The printer status document: ewsrelay saves the printer's "/status/system" page about once a
# second as "/var/www/html/cgi-bin/system.json", the copy that the printer gate, the job browser
# and the other pages read. The file is replaced whole, so a reader never sees half of it.
section "printer status document"
STATUS_DOC=$LABELDOCK_ROOT/var/www/html/cgi-bin/system.json
rm -f "$STATUS_DOC"   # the sample copy; from here on the printer's own page
start status-relay bash -c 'while :; do "$1" /status/system "$2"; sleep 1; done' status-relay "$BIN/ewsrelay" "$STATUS_DOC"
wait_file "$STATUS_DOC"
echo "ewsrelay /status/system $STATUS_DOC, once a second:"
sed 's/^/  /' "$STATUS_DOC"; echo
sleep 1.5
echo "and a moment later (the printer's clock moved on):"
sed 's/^/  /' "$STATUS_DOC"; echo
if [ -n "${WEB_PORT:-}" ]; then
  echo "GET /cgi-bin/ewsrelay?path=%2Fstatus%2Fui (the relay as a CGI program) ->"
  curl -s "http://127.0.0.1:$WEB_PORT/cgi-bin/ewsrelay?path=%2Fstatus%2Fui" | tr -d '\r' | sed 's/^/  /'
fi
