# The appliance's own web server: lighttpd runs the CGI programs from /var/www/html/cgi-bin (their
# working directory), as on the board, and serves the pages' scripts, style sheets and pictures
# (www/, with jQuery from the Debian packages) and the touch screen's home page.
section "web server and queue report"
www/install-pages "$LABELDOCK_ROOT/var/www/html"
# After Print the job page sends the screen to the home page at "http://<printer host>/", port
# 80; the printer simulator shares the address 127.0.0.1, so the demo that stays up serves the
# pages there when it may (as root, the port free) and the home page is where Print leads.
if [ -z "$ONCE" ] && [ "$(id -u)" = 0 ] && ! ss -Hltn "sport = :80" | grep -q .; then
  WEB_PORT=80
  WEB_URL=http://127.0.0.1
else
  WEB_PORT=$(free_port)
  WEB_URL=http://127.0.0.1:$WEB_PORT
fi
TOUCH_URL=$WEB_URL/?touch=true
export LABELDOCK_LOCAL_WEB=127.0.0.1:$WEB_PORT
cgis=()
for p in queuejson jobdesk usbdesk statusdesk ewsrelay; do
  [ -x "$BIN/$p" ] && cgis+=(--cgi "$BIN/$p")
done
start webserver "$BIN/webserver" --root "$LABELDOCK_ROOT" --port "$WEB_PORT" "${cgis[@]}"
wait_port "$WEB_PORT"
sed 's/^/  /' "$WORK/webserver.log"
echo "CGI programs: $(cd "$LABELDOCK_ROOT/var/www/html/cgi-bin" && ls -p | grep -v / | grep -v '[.]' | tr '\n' ' ')"
echo "pages' files: $(cd "$LABELDOCK_ROOT/var/www/html" && ls js css img | tr '\n' ' ')"
echo "GET /cgi-bin/queuejson ->"
curl -si "http://127.0.0.1:$WEB_PORT/cgi-bin/queuejson" | tr -d '\r' | sed 's/^/  /'
