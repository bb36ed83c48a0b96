# The touch screen's job browser: jobdesk run by lighttpd lists the library, opens a job's page,
# prints it into the queue from the page's form and takes it out of the queue again.
section "job browser pages"
jobdesk_page() {
  echo "GET /cgi-bin/jobdesk$1 ->"
  curl -s "http://127.0.0.1:$WEB_PORT/cgi-bin/jobdesk$1" | tr -d '\r' |
    grep -oE "var (n_thumbs|percent_disk_usage|show_printq_flag)[^;]*|class='fnamestr plfile'>[^<]*|id='pr_heading'[^>]*>[^<]*|name='prn' value='[^']*'|class='vpdq'>[^<]*" |
    head -8 | sed 's/^/  /'
}
jobdesk_page "?list=1&sortby=name"
first=$(cd "$LABELDOCK_ROOT/print/prns" && ls *.prn 2>/dev/null | head -1)
if [ -n "$first" ]; then
  q=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$first")
  jobdesk_page "?prn=$q"
  jobdesk_page "?prn=$q&from=1&to=1&dm_copies=1&do_print=Print"
  jobdesk_page "?printq=1&delete=0"
fi
