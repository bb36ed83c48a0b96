# USB stick: the page that the touch screen shows while a stick is mounted at /mnt/backup_usb.
# usbdesk only leaves a script in /tmp/do_usb.sh; the appliance's USB watcher (here its
# stand-in usbwatch) runs it as /tmp/active_usb.sh, whose last line renames it /tmp/usb_done.sh.
# The upload hands the set to /home/pi/upload_prns.sh (stand-in: copy into the upload
# directory, then uploadcheck).
section "USB stick: backup and upload through the page"
mkdir -p "$LABELDOCK_ROOT/mnt/backup_usb" "$LABELDOCK_ROOT/var/log"
echo "demo boot" > "$LABELDOCK_ROOT/var/log/syslog"
echo '{"system-diagnostics": {"SerialNumber": "LD0042"}}' > "$LABELDOCK_ROOT/var/www/html/cgi-bin/diagnostics.json"
ln -sf "$BIN/upload_prns" "$LABELDOCK_ROOT/home/pi/upload_prns.sh"
start usbwatch "$BIN/usbwatch"
USB=$LABELDOCK_ROOT/mnt/backup_usb
# One request to the page; prints the lines that show what it did.
usb_page() {
  echo "GET /cgi-bin/usbdesk$1 ->"
  curl -s "http://127.0.0.1:$WEB_PORT/cgi-bin/usbdesk$1" | tr -d '\r' | grep -oE "btn_done[^>]*>[^<]*(<br>[^<]*)?|usb_error'>[^<]*|var (backup_fname|waiting_for_completion|n_options|percent_disk_usage)[^;]*|onclick=\"upload_prns[^>]*>[^<]*|ejecting usb device" | sed 's/^/  /'
}
usb_done() {
  wait_file "$LABELDOCK_ROOT/tmp/usb_done.sh"
  echo "watcher ran the script; /tmp/usb_mode: $(cat "$LABELDOCK_ROOT/tmp/usb_mode")"
  rm -f "$LABELDOCK_ROOT/tmp/usb_done.sh"
}
echo "library: $(cd "$LABELDOCK_ROOT/print/prns" && ls -1 ./*.prn | wc -l) jobs"
usb_page "?backup_prns=1"
echo "/tmp/do_usb.sh as written:"; sed 's/^/  /' "$LABELDOCK_ROOT/tmp/do_usb.sh" 2>/dev/null || true
usb_done
SET=$(sed 's|^backupprn=prns/||' "$LABELDOCK_ROOT/tmp/usb_mode")
echo "on the stick, prns/$SET: $(cd "$USB/prns/$SET" && ls -1 ./*.prn | wc -l) jobs, $(cd "$USB/prns/$SET/thumbs" && ls -1 | wc -l) thumbnails"
usb_page "?backup_logs=1"
usb_done
echo "on the stick: $(cd "$USB" && ls -1 ./*.tgz | tr '\n' ' ')"
echo "the library is cleared; the stick brings the jobs back:"
rm -f "$LABELDOCK_ROOT"/print/prns/*.prn "$LABELDOCK_ROOT"/print/prns/thumbs/*.jpeg
usb_page ""
usb_page "?upload_prn=$SET"
usb_done
echo "uploadcheck judged the set against this printer's model (jobs made for another model are dropped):"
echo "  library: $(cd "$LABELDOCK_ROOT/print/prns" && ls -1 *.prn | tr '\n' '|' | sed 's/|$//; s/|/, /g')"
echo "  waiting for thumbmaker: $(cd "$LABELDOCK_ROOT/print/prns/tmp" && ls -1 | tr '\n' '|' | sed 's/|$//; s/|/, /g')"
echo "a set name that is no job set on the stick is refused, nothing is written:"
usb_page "?upload_prn=..%2F..%2Fprint%24%28touch+HACKED%29"
echo "  /tmp/do_usb.sh: $([ -e "$LABELDOCK_ROOT/tmp/do_usb.sh" ] && echo present || echo absent)"
echo 4242 > "$LABELDOCK_ROOT/tmp/usb_pid"
usb_page "?quit=Quit"
echo "/tmp/kill_usb_kweb.sh (the appliance's watcher runs it):"; sed 's/^/  /' "$LABELDOCK_ROOT/tmp/kill_usb_kweb.sh"
