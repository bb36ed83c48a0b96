# The USB page's roads: the library backed up to the stick, the logs archived, the library
# cleared and brought back from the stick's job set, a set name that is no set refused, and the
# eject.
once_only || return 0
section "USB stick: backup and upload through the page"
# One request to the page; prints the lines that show what it did.
usb_page() {
  echo "GET /cgi-bin/usbdesk$1 ->"
  curl -s "http://127.0.0.1:$WEB_PORT/cgi-bin/usbdesk$1" | tr -d '\r' | grep -oE "btn_done[^>]*>[^<]*(<br>[^<]*)?|usb_error'>[^<]*|var (backup_fname|waiting_for_completion|n_options|percent_disk_usage)[^;]*|onclick=\"upload_prns[^>]*>[^<]*|ejecting usb device" | sed 's/^/  /' || true
}
usb_done() {
  wait_file "$LABELDOCK_ROOT/tmp/usb_done.sh" || return 1
  echo "watcher ran the script; /tmp/usb_mode: $(cat "$LABELDOCK_ROOT/tmp/usb_mode")"
  rm -f "$LABELDOCK_ROOT/tmp/usb_done.sh"
}
library_count() { (cd "$LABELDOCK_ROOT/print/prns" && ls -1 ./*.prn 2>/dev/null | wc -l); }
jobs_before=$(library_count)
echo "library: $jobs_before jobs"
usb_page "?backup_prns=1"
echo "/tmp/do_usb.sh as written:"; sed 's/^/  /' "$LABELDOCK_ROOT/tmp/do_usb.sh" 2>/dev/null || true
usb_done || true
SET=$(sed 's|^backupprn=prns/||' "$LABELDOCK_ROOT/tmp/usb_mode")
on_stick=$(cd "$USB/prns/$SET" 2>/dev/null && ls -1 ./*.prn | wc -l)
echo "on the stick, prns/$SET: $on_stick jobs, $(cd "$USB/prns/$SET/thumbs" 2>/dev/null && ls -1 | wc -l) thumbnails"
usb_page "?backup_logs=1"
usb_done || true
archives=$(cd "$USB" && ls -1 ./*.tgz 2>/dev/null | wc -l)
echo "on the stick: $(cd "$USB" && ls -1 ./*.tgz | tr '\n' ' ')"
echo "the library is cleared; the stick brings the jobs back:"
rm -f "$LABELDOCK_ROOT"/print/prns/*.prn "$LABELDOCK_ROOT"/print/prns/thumbs/*.jpeg
usb_page ""
usb_page "?upload_prn=$SET"
usb_done || true
wait_for 30 nothing_waiting || true
back=0
for j in "Shelf label" "Price tag" "$odd"; do
  [ -e "$LABELDOCK_ROOT/print/prns/$j.prn" ] && [ -e "$LABELDOCK_ROOT/print/prns/thumbs/$j.jpeg" ] && back=$((back + 1))
done
echo "uploadcheck judged the set against this printer's model (jobs made for another model are dropped):"
echo "  library: $(cd "$LABELDOCK_ROOT/print/prns" && ls -1 *.prn | tr '\n' '|' | sed 's/|$//; s/|/, /g')"
echo "a set name that is no job set on the stick is refused, nothing is written:"
usb_page "?upload_prn=..%2F..%2Fprint%24%28touch+HACKED%29"
refused=$([ -e "$LABELDOCK_ROOT/tmp/do_usb.sh" ] && echo no || echo yes)
echo "  /tmp/do_usb.sh: $([ "$refused" = yes ] && echo absent || echo present)"
echo 4242 > "$LABELDOCK_ROOT/tmp/usb_pid"
usb_page "?quit=Quit"
echo "/tmp/kill_usb_kweb.sh (the appliance's watcher runs it):"; sed 's/^/  /' "$LABELDOCK_ROOT/tmp/kill_usb_kweb.sh"
if [ "$on_stick" = "$jobs_before" ] && [ "$archives" = 2 ] && [ "$back" = 3 ] && [ "$refused" = yes ]; then
  road usb ok "backup of $jobs_before jobs and 2 log archives to the stick; its 3 jobs for this printer brought back"
else
  road usb FAIL "on the stick $on_stick of $jobs_before jobs, $archives archives; $back of 3 jobs for this printer back"
fi
