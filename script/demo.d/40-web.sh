# The appliance's own web server: lighttpd runs the CGI programs from /var/www/html/cgi-bin (their
# working directory), as on the board, and serves the pages' scripts, style sheets and pictures
# (www/, with jQuery from the Debian packages) and the touch screen's home page.
section "web server and queue report"
www/install-pages "$LABELDOCK_ROOT/var/www/html"
WEB_PORT=$(free_port)
export LABELDOCK_LOCAL_WEB=127.0.0.1:$WEB_PORT
TOUCH_URL=http://127.0.0.1:$WEB_PORT/?touch=true
cgis=()
for p in queuejson jobdesk usbdesk ewsrelay; do
  [ -x "$BIN/$p" ] && cgis+=(--cgi "$BIN/$p")
done
start webserver "$BIN/webserver" --root "$LABELDOCK_ROOT" --port "$WEB_PORT" "${cgis[@]}"
wait_port "$WEB_PORT"
sed 's/^/  /' "$WORK/webserver.log"
echo "CGI programs: $(cd "$LABELDOCK_ROOT/var/www/html/cgi-bin" && ls -p | grep -v / | grep -v '[.]' | tr '\n' ' ')"
echo "pages' files: $(cd "$LABELDOCK_ROOT/var/www/html" && ls js css img | tr '\n' ' ')"
echo "GET /cgi-bin/queuejson ->"
curl -si "http://127.0.0.1:$WEB_PORT/cgi-bin/queuejson" | tr -d '\r' | sed 's/^/  /'
