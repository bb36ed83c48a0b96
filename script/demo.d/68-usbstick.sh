# A USB stick mounted at /mnt/backup_usb, as the appliance mounts one, and the stand-ins of the
# helpers around the USB page: usbdesk only leaves a script in /tmp/do_usb.sh; the appliance's
# USB watcher (here usbwatch) runs it as /tmp/active_usb.sh, whose last line renames it
# /tmp/usb_done.sh. The upload hands the set to /home/pi/upload_prns.sh (stand-in: copy into
# the upload directory, then uploadcheck).
section "USB stick"
USB=$LABELDOCK_ROOT/mnt/backup_usb
mkdir -p "$USB" "$LABELDOCK_ROOT/var/log"
echo "demo boot" > "$LABELDOCK_ROOT/var/log/syslog"
echo '{"system-diagnostics": {"SerialNumber": "LD0042"}}' > "$LABELDOCK_ROOT/var/www/html/cgi-bin/diagnostics.json"
ln -sf "$BIN/upload_prns" "$LABELDOCK_ROOT/home/pi/upload_prns.sh"
start usbwatch "$BIN/usbwatch"
echo "stick: $USB; the watcher runs what the USB page asks for (log $WORK/usbwatch.log)"
