# The printer status page, reached from the home page's "Printer status" tile: the printer's
# state from the status document and whether that copy is fresh, the queue, the RFID encoder, the
# disk and the last event-log lines; and from there the job history, where the job printed
# from its job page above stands as printed.
once_only || return 0
section "printer status page and job history"
status_get() { curl -s "http://127.0.0.1:$WEB_PORT/cgi-bin/statusdesk$1" | tr -d '\r'; }
# The value cells of the page's rows, as text: "label: value".
status_rows() { grep -oE "<tr id='st_[a-z]+'><th>[^<]*</th><td>.*</td></tr>" | sed -E "s/<br>/; /g; s/<\/th>/: /; s/<[^>]*>//g; s/&ndash;/-/g" || true; }
tile=$(curl -s "http://127.0.0.1:$WEB_PORT/?touch=true" | grep -oE "href=\"[^\"]*\">Printer status" | sed -E 's/href="([^"]*)".*/\1/' || true)
echo "the home page's Printer status tile leads to: $tile"
status_get "" > "$WORK/status.html"
echo "GET $tile ->"
status_rows < "$WORK/status.html" | sed 's/^/  /'
grep -oE "<div class='evline'>[^<]*" "$WORK/status.html" | head -3 | sed "s/<div class='evline'>/  event: /" || true
status_get "?history=1" > "$WORK/history.html"
echo "GET /cgi-bin/statusdesk?history=1 ->"
grep -oE "<tr class='h_[a-z]+'>.*</tr>" "$WORK/history.html" | sed -E 's/<\/td><td[^>]*>/ | /g; s/<[^>]*>//g' | head -5 | sed 's/^/  /'
history_link=$(jobdesk_get "?printq=1" | grep -c "statusdesk?history=1" || true)
if [ "$tile" = /cgi-bin/statusdesk ] && grep -q "<tr id='st_printer'><th>Printer</th><td>Online" "$WORK/status.html" &&
   grep -q "<tr id='st_doc'><th>Status</th><td>fresh" "$WORK/status.html" &&
   grep -qE "<td class='hname'>Shipping label 42</td>.*<td>Printed</td>" "$WORK/history.html" && [ "$history_link" -ge 1 ]; then
  road status ok "the tile opens the status page (printer online, its document fresh); the history, linked from the queue page, shows the printed job"
else
  road status FAIL "tile='$tile' history link=$history_link; see $WORK/status.html and $WORK/history.html"
fi
