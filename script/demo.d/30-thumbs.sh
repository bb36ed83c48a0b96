# Thumbnails: a colour label drawn by zjsgen joins the received jobs; the thumbnail trigger has
# thumbmaker render the first page of every job waiting in the waiting directory, move the
# picture to the thumbnail folder and the job into the library. The generated job of the receive
# step has no decodable image data, so it gets the neutral placeholder (still marked, so it is kept).
section "thumbnails"
ppmpat -tartan 1200 700 2>/dev/null > "$WORK/label.ppm"
"$BIN/zjsgen" --zx-picture "$WORK/label.ppm" --zx-mode stripes --zx-stripe-rows 128 --zx-gradient 120 \
  --capture "Colour label" -o "$WORK/colour.cap"
"$BIN/jobsend" "127.0.0.1:$LABELDOCK_RECEIVER_PORT" "$WORK/colour.cap"
wait_for 5 test -e "$LABELDOCK_ROOT/print/prns/tmp/Colour label.prn" -o -e "$LABELDOCK_ROOT/print/prns/Colour label.prn" || true
wait_for 30 nothing_waiting || true
echo "thumbnail trigger:"; sed 's/^/  /' "$WORK/thumb-trigger.log"
# Every thumbnail with its size and the text and numbers of its page marker.
show_thumbs() {
  python3 - "$@" <<'PY'
import os, struct, sys
for path in sys.argv[1:]:
    d = open(path, 'rb').read()
    p, size, text, nums = 2, (0, 0), '(no marker)', ()
    while p + 4 <= len(d) and d[p] == 0xFF:
        code, n = d[p + 1], struct.unpack('>H', d[p + 2:p + 4])[0]
        seg = d[p + 4:p + 2 + n]
        if code == 0xE9:
            text = seg[:30].split(b'\0')[0].decode()
            nums = struct.unpack('<HHH', seg[30:36])
        if code in (0xC0, 0xC2):
            size = struct.unpack('>HH', seg[1:5])[::-1]
            break
        p += 2 + n
    print(f'  {os.path.basename(path):24s} {os.path.getsize(path):8d} bytes  {size[0]:4d} x {size[1]:<4d}  "{text}"'
          f'  (pages {nums[0]}, page {nums[1]}, copies {nums[2]})' if nums else '')
PY
}
echo "thumbnails in $LABELDOCK_ROOT/print/prns/thumbs/:"
show_thumbs "$LABELDOCK_ROOT"/print/prns/thumbs/*.jpeg
echo "library $LABELDOCK_ROOT/print/prns/: $(cd "$LABELDOCK_ROOT/print/prns" && ls *.prn | tr '\n' ',' | sed 's/,$//; s/,/, /g')"
thumbs_made=0
for j in "Shipping label 42" "Pallet tags" "Colour label"; do
  [ -e "$LABELDOCK_ROOT/print/prns/$j.prn" ] && [ -e "$LABELDOCK_ROOT/print/prns/thumbs/$j.jpeg" ] && thumbs_made=$((thumbs_made + 1))
done
if [ "$thumbs_made" = 3 ] && nothing_waiting; then
  road thumbnail ok "the trigger ran thumbmaker: 3 jobs in the library with their thumbnails"
else
  road thumbnail FAIL "$thumbs_made of 3 jobs reached the library with a thumbnail"
fi
