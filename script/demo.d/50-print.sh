# The touch screen's job browser, as a browser drives it: jobdesk run by lighttpd lists the
# library, opens a job's page, and its Print button submits the page's form (two copies). The job
# goes into the print queue; the spooler trigger has spoold filter it and pjlsend send it behind
# the PJL job header to the printer simulator, which shows what it got.
# Helpers for the later steps: one page of the job browser, and a job page's form submitted.
jobdesk_get() { curl -s "http://127.0.0.1:$WEB_PORT/cgi-bin/jobdesk$1" | tr -d '\r'; }
# submit_job_form JOB BUTTON [NAME=VALUE]...: the job page's form sent with that button pressed.
submit_job_form() {
  local job=$1; shift
  local q; q=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote_plus(sys.argv[1]))' "$job")
  jobdesk_get "?prn=$q" > "$WORK/jobpage.html"
  q=$(script/demo.d/submit_form.py "$@" < "$WORK/jobpage.html")
  echo "  submitted: ?$q"
  jobdesk_get "?$q"
}
# The queue page's rows: name, state, sheets.
queue_rows() { { grep -oE "<td class='vpdq'>[^<]*</td><td[^>]*>[^<]*</td><td>[^<]*" || true; } | sed -E "s/(<[^>]*>)+/ | /g; s/^ \| //"; }
once_only || return 0

section "job browser: list, job page, print"
list=$(jobdesk_get "?list=1&sortby=name")
echo "GET /cgi-bin/jobdesk?list=1&sortby=name ->"
{ grep -oE "var (n_thumbs|percent_disk_usage)[^;]*|class='fnamestr plfile'>[^<]*" <<<"$list" || true; } | sed "s/class='fnamestr plfile'>/job: /; s/^/  /"
if grep -q "var n_thumbs=3;" <<<"$list" && grep -q "printthis('/cgi-bin/jobdesk?prn=Shipping label 42.prn" <<<"$list"; then
  road list ok "the list shows the 3 jobs of the library, each leading to its job page"
else
  road list FAIL "the list does not show the library's 3 jobs"
fi

before=$(printer_jobs)
echo "the job page of Shipping label 42, Print pressed with 2 copies:"
queue=$(submit_job_form "Shipping label 42.prn" do_print dm_copies=2)
echo "  the reply, the queue page: $(queue_rows <<<"$queue" | head -1)"
if wait_for 30 has_printed "Shipping label 42" "$before"; then
  n=$(printed_job "Shipping label 42" "$before")
  f=$PRINTERSIM_DIR/jobs/$(printf '%04d' "$n")
  echo "the printer got (printersim, job $n):"
  tr -d '\r' < "$f.pjl" | cat -v | sed 's/^/  header: /'
  copies=$(zjsdecode < "$f.prn" 2>/dev/null | awk '/ZJI_DMCOPIES/ {c = $2} END {print c}' | tr -d ,)
  echo "  job bytes: $(stat -c %s "$f.prn"), $(zjsdecode < "$f.prn" 2>/dev/null | grep -c ZJT_START_PAGE || true) page(s), copies item $copies"
  grep "^job $n " "$PRINTERSIM_DIR/raw.log" | sed 's/^/  raw.log: /'
  if grep -q "vpdq'>Shipping label 42<" <<<"$queue" && [ "$copies" = 2 ]; then
    road print ok "printed from the job page's form: the queue took it, the printer got it with 2 copies (job $n)"
  else
    road print FAIL "the printer got job $n, but the queue page or its copies ($copies) are wrong"
  fi
else
  road print FAIL "the job printed from the job page did not reach the printer"
  echo "spooler trigger:"; tail -20 "$WORK/spool-trigger.log" | sed 's/^/  /'
fi
