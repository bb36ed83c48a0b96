# Helpers of the deployment tests (install_test.sh, package_test.sh): what an installed tree must
# hold, the units' own command lines run inside a tree, and the short pass of the appliance.
# Sourced; the caller sets `set -euo pipefail`.

step() { printf '\n== %s\n' "$*"; }
# On failure the logs of what the test started (in $logs, when set) are shown.
fail() {
  echo "FAIL: $*" >&2
  local f
  for f in ${logs:+"$logs"/* "$logs"/*/*}; do
    [ -f "$f" ] && case "$f" in *.log|*.out) echo "--- $f" >&2; tail -n 20 "$f" >&2 ;; esac
  done
  exit 1
}

# The programs' folder, as the units name it (the prefix the tree was configured with).
unit_bindir() {
  local exec
  exec=$(sed -n 's/^ExecStart=//p' "$1/lib/systemd/system/labeldock-jobcatcher.service")
  dirname "$exec"
}

# What every installed tree holds (a DESTDIR or an unpacked package): the programs, the CGI
# folder, the units of the installed programs, the fragment, the folders and the links.
check_installed_tree() {
  local root=$1 bindir p u
  [ -f "$root/lib/systemd/system/labeldock-jobcatcher.service" ] || fail "no jobcatcher unit in $root"
  bindir=$(unit_bindir "$root")
  for p in jobcatcher eventlogd thumbmaker spoold pjlsend uploadcheck netfind ewsrelay; do
    [ -f "$root$bindir/$p" ] && [ -x "$root$bindir/$p" ] || fail "program $bindir/$p missing"
  done
  for p in jobdesk queuejson usbdesk statusdesk; do
    [ -f "$root/var/www/html/cgi-bin/$p" ] && [ -x "$root/var/www/html/cgi-bin/$p" ] || fail "CGI program $p missing"
  done
  [ "$(readlink -f "$root/var/www/html/cgi-bin/ewsrelay")" = "$(readlink -f "$root$bindir/ewsrelay")" ] ||
    fail "cgi-bin/ewsrelay does not lead to $bindir/ewsrelay"
  for p in tags.json local.json; do
    [ -s "$root/var/www/html/cgi-bin/$p" ] || fail "document cgi-bin/$p missing"
  done
  [ "$(readlink "$root/var/www/html/cgi-bin/system.json")" = ../../../../run/labeldock/system.json ] ||
    fail "cgi-bin/system.json does not lead to /run/labeldock/system.json"
  [ "$(readlink "$root/var/www/html/thumbs")" = ../../../print/prns/thumbs ] || fail "/var/www/html/thumbs is no link to /print/prns/thumbs"
  for p in index.html js/gauge.js js/jobdesk.js js/usbdesk.js css/jobdesk.css img/pause.png; do
    [ -s "$root/var/www/html/$p" ] || fail "page file /var/www/html/$p missing"
  done
  [ "$(readlink "$root/var/www/html/js/jquery-latest.min.js")" = ../../../../usr/share/javascript/jquery/jquery.min.js ] ||
    fail "js/jquery-latest.min.js is no link into Debian's libjs-jquery"
  for p in print/prns/tmp print/prns/thumbs print/tmp print/printq print/log; do
    [ -d "$root/$p" ] || fail "folder /$p missing"
  done
  for u in jobcatcher.service eventlogd.service thumbmaker.path thumbmaker.service print.path print.timer \
           print.service status.timer status.service; do
    [ -f "$root/lib/systemd/system/labeldock-$u" ] || fail "unit labeldock-$u missing"
  done
  # The RFID encoder's unit comes with its program, and only then.
  local prog=no unit=no
  [ -e "$root$bindir/tagsmith" ] && prog=yes
  [ -e "$root/lib/systemd/system/labeldock-tagsmith.service" ] && unit=yes
  [ "$prog" = "$unit" ] || fail "tagsmith installed: $prog, its unit: $unit"
  [ -f "$root/lib/systemd/system/labeldock-.service.d/hardening.conf" ] || fail "the services' hardening drop-in is missing"
  [ -f "$root/etc/lighttpd/conf-available/50-labeldock.conf" ] || fail "lighttpd fragment missing"
  [ -f "$root/usr/lib/tmpfiles.d/labeldock.conf" ] || fail "tmpfiles entry missing"
  [ -x "$root${bindir%/bin}/share/labeldock/hosts-entry" ] || fail "hosts-entry missing"
  [ -s "$root${bindir%/bin}/share/labeldock/samples/system.json" ] || fail "sample documents missing"
}

# systemd-analyze verify in a root of its own: systemd's units, ours, and the programs at the
# places the units name (the check looks for them). Any warning fails.
verify_units() {
  local tree=$1 v out
  v=$(mktemp -d "${TMPDIR:-/tmp}/labeldock-verify.XXXXXX")
  mkdir -p "$v/usr/lib/systemd" "$v/usr/bin" "$v/etc"
  ln -s usr/lib "$v/lib"
  ln -s usr/bin "$v/bin"
  cp -a /usr/lib/systemd/system "$v/usr/lib/systemd/"
  cp -a "$tree/lib/systemd/system/." "$v/usr/lib/systemd/system/"
  cp -a "$tree$(unit_bindir "$tree")/." "$v/usr/bin/"
  cp /usr/bin/rm "$v/usr/bin/"
  out=$(cd "$v" && systemd-analyze verify --root="$v" --man=no --generators=no usr/lib/systemd/system/labeldock-*.{service,path,timer} 2>&1) ||
    { rm -rf "$v"; fail "systemd-analyze verify: $out"; }
  rm -rf "$v"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
}

# Runs a command as the units do (as www-data) when the test runs as root.
as_unit_user() {
  if [ "$(id -u)" = 0 ]; then setpriv --reuid=www-data --regid=www-data --init-groups -- "$@"; else "$@"; fi
}

# The command lines of a unit's ExecStartPre= and ExecStart= lines, one per line, moved into the
# tree ROOT: an absolute word whose first folder exists in ROOT gets ROOT in front ("/usr/bin/x",
# "/tmp/flag"; not "/status/system", which is a page on the printer). A leading "+" (run with
# full privileges) is kept as the first word "+". The units use no quoting.
unit_commands() {
  local root=$1 unit=$2 line w out first
  sed -n 's/^ExecStartPre=//p; s/^ExecStart=//p' "$root/lib/systemd/system/$unit" | while read -r line; do
    out=""
    case "$line" in +*) out="+"; line=${line#+} ;; esac
    line=${line#-}
    for w in $line; do
      first=${w#/}; first=${first%%/*}
      if [ "${w:0:1}" = / ] && [ -e "$root/$first" ]; then w=$root$w; fi
      out="$out${out:+ }$w"
    done
    echo "$out"
  done
}

# Runs a oneshot unit's commands in order inside ROOT, as its user; fails when one fails
# (except the exit statuses the unit counts as success).
run_unit() {
  local root=$1 unit=$2 ok cmd rc out=/dev/null
  [ -n "${logs:-}" ] && out=$logs/$unit.log
  ok=$(sed -n 's/^SuccessExitStatus=//p' "$root/lib/systemd/system/$unit")
  while read -r cmd; do
    rc=0
    # shellcheck disable=SC2086
    case "$cmd" in
      "+ "*) timeout 120 ${cmd#+ } >>"$out" 2>&1 || rc=$? ;;
      *) as_unit_user timeout 120 $cmd >>"$out" 2>&1 || rc=$? ;;
    esac
    [ "$rc" = 0 ] || [[ " $ok " == *" $rc "* ]] || fail "$unit: '$cmd' ended with $rc"
  done < <(unit_commands "$root" "$unit")
}

# Starts a daemon unit's command in the background inside ROOT; its output in LOG.
start_unit() {
  local root=$1 unit=$2 log=$3 cmd
  cmd=$(unit_commands "$root" "$unit" | tail -1)
  # Started directly (setpriv replaces itself with the program), so the pid is the daemon's.
  # shellcheck disable=SC2086
  if [ "$(id -u)" = 0 ]; then
    setpriv --reuid=www-data --regid=www-data --init-groups -- $cmd >"$log" 2>&1 &
  else
    $cmd >"$log" 2>&1 &
  fi
  pids+=($!)
}

# A scratch folder for one test run: `scratch_dir VAR NAME` puts its path in VAR; it goes, with
# every program whose pid was added to `pids`, when the script ends.
pids=()
scratch_dir() {
  _scratch=$(mktemp -d "${TMPDIR:-/tmp}/labeldock-$2.XXXXXX")
  printf -v "$1" '%s' "$_scratch"
  trap _end_scratch EXIT
}
_end_scratch() {
  for p in "${pids[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$_scratch"
}

# free_port, listening, wait_port, wait_for SECONDS COMMAND...
. "$(dirname "${BASH_SOURCE[0]}")/../script/helpers.sh"
# wait_or_fail WHAT COMMAND...: up to 20 seconds for COMMAND, then the test fails with WHAT.
wait_or_fail() {
  local what=$1; shift
  wait_for 20 "$@" || fail "$what"
}
