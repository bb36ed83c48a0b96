# Thumbnails: a colour label drawn by zjsgen joins the received jobs, then thumbmaker renders
# the first page of every job waiting in the waiting directory, moves the picture to the
# thumbnail folder and the job into the library. The generated job of the receive step has no
# decodable image data, so it gets the neutral placeholder (still marked, so it is kept).
section "thumbnails"
ppmpat -tartan 1200 700 2>/dev/null > "$WORK/label.ppm"
"$BIN/zjsgen" --zx-picture "$WORK/label.ppm" --zx-mode stripes --zx-stripe-rows 128 --zx-gradient 120 \
  --capture "Colour label" -o "$WORK/colour.cap"
"$BIN/jobsend" "127.0.0.1:$LABELDOCK_RECEIVER_PORT" "$WORK/colour.cap"
wait_file "$LABELDOCK_ROOT/print/prns/tmp/Colour label.prn"
echo "waiting: $(cd "$LABELDOCK_ROOT/print/prns/tmp" && ls *.prn | tr '\n' ',' | sed 's/,$//; s/,/, /g')"
echo "thumbmaker console:"
"$BIN/thumbmaker" 2>&1 | sed 's/^/  /'
echo "thumbnails in $LABELDOCK_ROOT/print/prns/thumbs/:"
python3 - "$LABELDOCK_ROOT"/print/prns/thumbs/*.jpeg <<'PY'
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
echo "library $LABELDOCK_ROOT/print/prns/: $(cd "$LABELDOCK_ROOT/print/prns" && ls *.prn | tr '\n' ',' | sed 's/,$//; s/,/, /g')"
