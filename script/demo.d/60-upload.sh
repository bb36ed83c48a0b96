# Upload: a job set copied from a USB stick into the upload directory, each job beside its
# thumbnail. uploadcheck judges every job against the printer model (from the firmware version
# in the status document), imports those whose thumbnail thumbmaker marked straight into the
# library, hands the others to the waiting directory for thumbmaker and drops jobs made for
# another model. Names come from the stick as they are: none ever reaches a shell.
once_only || return 0
section "upload check"
UP=$LABELDOCK_ROOT/print/tmp
mkdir -p "$UP/thumbs" "$WORK/set"
odd='Quote "$(touch HACKED)" `touch HACKED2`'
# name, items, with a marked thumbnail (1) or without (0)
while IFS='|' read -r name items marked; do
  # shellcheck disable=SC2086
  "$BIN/zjsgen" $items -o "$WORK/set/$name.prn"
  if [ "$marked" = 1 ]; then
    "$BIN/thumbmaker" "$WORK/set/$name.prn" >/dev/null
    mv "$WORK/set/$name.jpeg" "$UP/thumbs/"
  fi
  mv "$WORK/set/$name.prn" "$UP/"
done <<LIST
Shelf label|--doc-item 0x8403=1|1
Price tag|--doc-item 0x8403=1|0
$odd|--doc-item 0x8403=1|1
Other model||1
LIST
echo "firmware: $(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["system"]["FirmwareVersion"])' "$STATUS_DOC")"
echo "upload directory $UP:"
(cd "$UP" && ls -1 *.prn thumbs/* | sed 's/^/  /')
echo "uploadcheck (the commands it names; done with system calls):"
"$BIN/uploadcheck" 2>&1 | sed 's/^/  /'
# The job without a marked thumbnail went to the waiting directory; the trigger renders it.
wait_for 30 nothing_waiting || true
echo "library:        $(cd "$LABELDOCK_ROOT/print/prns" && ls -1 *.prn | tr '\n' '|' | sed 's/|$//; s/|/, /g')"
echo "its thumbnails: $(cd "$LABELDOCK_ROOT/print/prns/thumbs" && ls -1 | tr '\n' '|' | sed 's/|$//; s/|/, /g')"
echo "left in upload: $(cd "$UP" && ls -A | tr '\n' ' ')"
echo "upload_stat:    $(tr '\n' ' ' < "$LABELDOCK_ROOT/tmp/upload_stat")"
echo "HACKED files:   $(find "$LABELDOCK_ROOT" "$PWD" -maxdepth 1 -name 'HACKED*' | wc -l)"
imported=0
for j in "Shelf label" "Price tag" "$odd"; do
  [ -e "$LABELDOCK_ROOT/print/prns/$j.prn" ] && [ -e "$LABELDOCK_ROOT/print/prns/thumbs/$j.jpeg" ] && imported=$((imported + 1))
done
if [ "$imported" = 3 ] && [ ! -e "$LABELDOCK_ROOT/print/prns/Other model.prn" ] &&
   [ -z "$(find "$LABELDOCK_ROOT" "$PWD" -maxdepth 1 -name 'HACKED*')" ]; then
  road upload ok "uploadcheck imported 3 jobs (one through thumbmaker), dropped the other model's"
else
  road upload FAIL "$imported of 3 jobs imported with their thumbnails"
fi
