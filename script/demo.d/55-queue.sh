# The print queue steered from its page: printing paused, two jobs printed from their job pages
# (pages 2 to 3 of the three-page job, and the colour label), the order changed, one job deleted,
# printing resumed; the job left in the queue then reaches the printer.
once_only || return 0
section "print queue: pause, reorder, delete, resume"
queue_page() {
  echo "GET /cgi-bin/jobdesk$1 ->"
  jobdesk_get "$1" > "$WORK/queue.html"
  queue_rows < "$WORK/queue.html" | sed 's/^/  /' | grep . || echo "  (the queue is empty)"
}
queue_page "?printq=pause"
paused=$(grep -c "/img/play.png" "$WORK/queue.html" || true)
echo "Print on the job pages of Pallet tags (pages 2 to 3) and Colour label:"
submit_job_form "Pallet tags.prn" do_print from_disp=2 to_disp=3 >/dev/null
submit_job_form "Colour label.prn" do_print >/dev/null
queue_page "?printq=1"
first=$(queue_rows < "$WORK/queue.html" | head -1)
queue_page "?printq=1&movedown=0"
moved=$(queue_rows < "$WORK/queue.html" | head -1)
queue_page "?printq=1&delete=1"
left=$(queue_rows < "$WORK/queue.html" | wc -l)
before=$(printer_jobs)
queue_page "?printq=resume"
if wait_for 30 has_printed "Colour label" "$before"; then
  n=$(printed_job "Colour label" "$before")
  echo "the printer got job $n: $(grep "^job $n name" "$PRINTERSIM_DIR/raw.log")"
else
  n=""
fi
wait_for 10 eval '! jobdesk_get "?printq=1" | grep -q "vpdq"' || true
queue_page "?printq=1"
if [ "$paused" = 1 ] && [[ $first == "Pallet tags_2_3 |"* ]] && [[ $moved == "Colour label |"* ]] &&
   [ "$left" = 1 ] && [ -n "$n" ] && ! has_printed "Pallet tags" "$before"; then
  road queue ok "paused, reordered, deleted one; after resume the printer got the other (job $n)"
else
  road queue FAIL "paused=$paused first='$first' after move='$moved' left=$left printed='$n'"
fi
