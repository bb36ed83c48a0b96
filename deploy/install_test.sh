#!/usr/bin/env bash
# The installed tree: `cmake --install` into a temporary DESTDIR puts every program, unit and
# document at its place; systemd accepts the units; the tmpfiles entry makes the folders; and a
# short pass of the appliance runs from that tree alone, with the tree as LABELDOCK_ROOT:
# lighttpd with our fragment runs the installed CGI programs, the daemons and the units' own
# command lines run as www-data (when the test runs as root) in folders the tmpfiles entry made.
#   deploy/install_test.sh BUILD_DIR
# Test tools (printersim, zjsgen, jobsend, the log client stand-in) come from BUILD_DIR/bin.
set -euo pipefail
build=$(cd "${1:?usage: install_test.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/testlib.sh"
. "$here/appliance_pass.sh"
tools=$build/bin

scratch_dir D install

step "install into a temporary DESTDIR"
DESTDIR=$D cmake --install "$build" >"$D.install.log" 2>&1 || { cat "$D.install.log"; fail "cmake --install failed"; }
rm -f "$D.install.log"
check_installed_tree "$D"
# Test tools are not part of the appliance.
for tool in printersim zjsgen jobsend log_client webserver usbwatch upload_prns; do
  [ ! -e "$D$(unit_bindir "$D")/$tool" ] || fail "test tool $tool was installed"
done
bindir=$(unit_bindir "$D")
echo "ok: programs in $bindir, CGI programs and documents in /var/www/html/cgi-bin, units, fragment"

step "systemd-analyze verify accepts the units"
verify_units "$D"
echo "ok: $(cd "$D/lib/systemd/system" && ls | tr '\n' ' ')"

step "the tmpfiles entry makes the folders, owned by www-data"
mkdir -p "$D/etc"
cp /etc/passwd /etc/group "$D/etc/"
systemd-tmpfiles --root="$D" --create labeldock.conf
for dir in print/prns/tmp print/prns/thumbs print/printq print/log run/labeldock; do
  [ "$(stat -c %U "$D/$dir")" = www-data ] || fail "$dir is not owned by www-data"
done
[ "$(stat -c %a:%G "$D/var/www/html/cgi-bin")" = 1775:www-data ] || fail "cgi-bin: $(stat -c %a:%G "$D/var/www/html/cgi-bin")"
chmod 755 "$D"
mkdir -p -m 1777 "$D/tmp"
mkdir -p "$D/home/pi" "$D/var/log/lighttpd" "$D/var/cache/lighttpd/uploads"
chown www-data "$D/var/log/lighttpd" "$D/var/cache/lighttpd/uploads" 2>/dev/null || true
cp "$tools/log_client" "$D/home/pi/log_client"
echo "ok"

step "the hosts entry joins a hosts file and leaves again without touching other lines"
hosts_tool=$D${bindir%/bin}/share/labeldock/hosts-entry
entry=$(printf '172.31.31.253\tlabelprinter\t# labeldock printer alias')
h=$D/test-hosts
# before | after "add" twice | after "remove" (\n between lines; the file is a link to it when "link")
while IFS='|' read -r name before added removed; do
  rm -f "$h" "$h.real"
  printf "$before" > "$h.real"
  ln -s "$h.real" "$h"
  "$hosts_tool" add "$h"; "$hosts_tool" add "$h"
  [ "$(cat "$h")" = "$(printf "$added" | sed "s/ENTRY/$entry/")" ] || fail "$name: after add: $(cat -A "$h")"
  "$hosts_tool" remove "$h"
  [ "$(cat "$h")" = "$(printf "$removed")" ] || fail "$name: after remove: $(cat -A "$h")"
  [ -L "$h" ] || fail "$name: the hosts file was replaced instead of written in place"
done <<'CASES'
plain file|127.0.0.1 localhost\n|127.0.0.1 localhost\nENTRY|127.0.0.1 localhost
no newline at the end|127.0.0.1 localhost|127.0.0.1 localhost\nENTRY|127.0.0.1 localhost
alias already mapped by the maker|10.1.2.3 printer labelprinter\n|10.1.2.3 printer labelprinter|10.1.2.3 printer labelprinter
alias only in a comment|# labelprinter goes here\n|# labelprinter goes here\nENTRY|# labelprinter goes here
empty file||ENTRY|
CASES
rm -f "$h" "$h.real"
echo "ok"

appliance_pass
demo_once_from_tree "$(cd "$here/.." && pwd)"
echo
echo "install test passed"
