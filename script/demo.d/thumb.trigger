#!/usr/bin/env bash
# The appliance's thumbnail trigger: whenever the flag file "/tmp/run_prn2jpg" is there, it is
# removed and thumbmaker renders every job waiting in "/print/prns/tmp/" and moves it into the
# library. The flag goes before the run, so a job stored during the run raises it again and is
# taken by the next round. The flag is looked for every 0.2 s rather than watched for: a flag
# raised before the trigger started, or raised twice in a row, is still seen.
#   thumb.trigger THUMBMAKER      (LABELDOCK_ROOT names the appliance root)
set -u
flag=$LABELDOCK_ROOT/tmp/run_prn2jpg
while :; do
  if [ -e "$flag" ]; then
    rm -f "$flag"
    echo "$(date +%T) thumbmaker"
    "$1" || echo "$(date +%T) thumbmaker ended with status $?"
  fi
  sleep 0.2
done
