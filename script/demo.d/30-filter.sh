# The job filter on a three-page job made by the real driver: pages 2 and 3, two collated
# copies and one option item (media type) set; zjsdecode shows what the printer would get.
once_only || return 0
section "job filter"
for shade in -white -gray -black; do pbmmake "$shade" 1200 1600; done > "$WORK/three.pbm"
foo2zjs -r600x600 -g1200x1600 -p1 < "$WORK/three.pbm" > "$WORK/three.prn" 2>/dev/null
# One line per page: the page number the driver wrote, its copies and media type items.
pages_of() {
  zjsdecode < "$1" | awk '/^ZJT_START_PAGE/ {p=1} /^ZJT_END_PAGE/ {if (p) printf "    page %s copies=%s media=%s\n", n, c, m; p=0}
    /ZJI_MINOLTA_PAGE_NUMBER/ {n=$2} /ZJI_DMCOPIES/ {c=$2} /ZJI_DMMEDIATYPE/ {m=$2}' | tr -d ,
}
echo "input: $(stat -c %s "$WORK/three.prn") bytes"; pages_of "$WORK/three.prn"
echo "zjsfilter --from 2 --to 3 --copies 2 --collate --item 6=2:"
"$BIN/zjsfilter" "$WORK/three.prn" "$WORK/three.out" --from 2 --to 3 --copies 2 --collate \
  --item 6=2 | sed 's/^/  /'
echo "output: $(stat -c %s "$WORK/three.out") bytes (two sets, both with the media type set)"
pages_of "$WORK/three.out"
echo "--from 5 of a three-page job:"
"$BIN/zjsfilter" "$WORK/three.prn" "$WORK/none.out" --from 5 2>&1 | sed 's/^/  /'
filtered_pages=$(zjsdecode < "$WORK/three.out" 2>/dev/null | grep -c ZJT_START_PAGE || true)
if [ "$filtered_pages" = 4 ] && [ ! -e "$WORK/none.out" ]; then
  road filter ok "pages 2-3 in two collated sets (4 pages); an empty selection writes nothing"
else
  road filter FAIL "the filtered job has $filtered_pages pages, 4 expected"
fi
