#!/usr/bin/env bash
# The Debian package for the board: script/package builds it from the armhf cross build; it
# lists the expected files; unpacked, its tree is complete, its units pass systemd-analyze, its
# programs are static, stripped 32-bit ARM programs that run under qemu-arm (with no ARM
# libraries at hand), and its maintainer scripts name exactly the units it carries.
#   deploy/package_test.sh [NATIVE_BIN_DIR]
# With the native build's programs (printersim), the packaged relay also fetches the status page
# from it through a host name, which a static program resolves from /etc/hosts on its own.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
. "$here/testlib.sh"
tools=${1:-}

if ! command -v arm-linux-gnueabihf-g++ >/dev/null || ! command -v qemu-arm >/dev/null; then
  echo "package test skipped: the armhf cross toolchain or qemu-arm is not installed"
  exit 0
fi

scratch_dir X package

step "script/package"
"$top/script/package" >"$X/package.log" 2>&1 || { tail -n 30 "$X/package.log"; fail "script/package failed"; }
deb=$(tail -n 1 "$X/package.log")
[ -f "$deb" ] || fail "script/package named no package: $deb"
echo "ok: $(basename "$deb"), $(du -k "$deb" | cut -f1) KiB"

step "control data and the file list (dpkg-deb -c)"
[ "$(dpkg-deb -f "$deb" Architecture)" = armhf ] || fail "architecture: $(dpkg-deb -f "$deb" Architecture)"
dpkg-deb -c "$deb" | awk '{ print $6 }' > "$X/list"
for f in ./usr/bin/jobcatcher ./usr/bin/eventlogd ./usr/bin/thumbmaker ./usr/bin/spoold ./usr/bin/pjlsend \
         ./usr/bin/ewsrelay ./usr/bin/uploadcheck ./usr/bin/netfind \
         ./var/www/html/cgi-bin/jobdesk ./var/www/html/cgi-bin/queuejson ./var/www/html/cgi-bin/usbdesk ./var/www/html/cgi-bin/statusdesk \
         ./var/www/html/cgi-bin/ewsrelay ./var/www/html/cgi-bin/tags.json ./var/www/html/cgi-bin/system.json \
         ./var/www/html/thumbs ./lib/systemd/system/labeldock-jobcatcher.service \
         ./lib/systemd/system/labeldock-thumbmaker.path ./lib/systemd/system/labeldock-status.timer \
         ./etc/lighttpd/conf-available/50-labeldock.conf ./usr/lib/tmpfiles.d/labeldock.conf \
         ./usr/share/labeldock/samples/tags.json ./print/prns/tmp/; do
  grep -qxF "$f" "$X/list" || fail "the package does not list $f"
done
for tool in printersim zjsgen jobsend log_client webserver; do
  ! grep -q "/$tool\$" "$X/list" || fail "test tool $tool is in the package"
done
echo "ok: $(grep -vc '/$' "$X/list") files and links"

step "the unpacked tree"
dpkg-deb -x "$deb" "$X/root"
check_installed_tree "$X/root"
verify_units "$X/root"
echo "ok: layout as installed, units accepted by systemd-analyze verify"

step "static, stripped 32-bit ARM programs"
programs=$(find "$X/root" -type f -perm -u+x -path '*bin*' ! -name hosts-entry)
for p in $programs; do
  h=$(readelf -h "$p" 2>&1)
  [[ $h == *"Machine:"*"ARM"* && $h == *"ELF32"* ]] || fail "$p is not a 32-bit ARM program"
  ! readelf -l "$p" | grep -q INTERP || fail "$p is dynamically linked"
  ! readelf -S "$p" | grep -q '\.debug_info' || fail "$p is not stripped"
done
echo "ok: $(echo "$programs" | wc -l) programs"
rc=0
out=$(env -u QEMU_LD_PREFIX qemu-arm "$X/root/usr/bin/thumbmaker" -p 2>&1) || rc=$?
[ "$rc" = 1 ] && [[ $out == *"usage: thumbmaker"* ]] || fail "thumbmaker under qemu-arm ($rc): $out"
echo "ok: under qemu-arm: $out"

if [ -n "$tools" ] && [ -x "$tools/printersim" ]; then
  "$tools/printersim" --dir "$X/printer" >/dev/null 2>&1 &
  pids+=($!)
  wait_or_fail "printersim did not start" test -s "$X/printer/ports"
  port=$(sed -n 's/^LABELDOCK_PRINTER_WEB_PORT=//p' "$X/printer/ports")
  LABELDOCK_PRINTER_HOST=localhost LABELDOCK_PRINTER_WEB_PORT=$port env -u QEMU_LD_PREFIX \
    qemu-arm "$X/root/usr/bin/ewsrelay" /status/system "$X/system.json" >/dev/null 2>"$X/relay.err" || true
  grep -q SystemState "$X/system.json" 2>/dev/null || fail "the packaged ewsrelay fetched no status page: $(cat "$X/relay.err")"
  echo "ok: the packaged ewsrelay fetched the status page from host 'localhost' under qemu-arm"
fi

step "every command the programs run is provided (Depends: or an essential package)"
# Command, then the Debian package that provides it on the board. Where the code names a new
# command, it gets a line here.
depends=$(dpkg-deb -f "$deb" Depends | tr -d ' ' | tr ',' '\n' | sed 's/[(|].*//')
while read -r cmd pkg; do
  [ -n "$cmd" ] || continue
  grep -rqE "[\" ]$cmd[\" ]" "$top"/discovery/*.cc "$top"/usb/*.cc "$top"/common/*.cc ||
    fail "the list names $cmd, which no program runs any more"
  if ! grep -qxF "$pkg" <<<"$depends"; then
    [ "$(dpkg-query -W -f='${Essential}' "$pkg" 2>/dev/null)" = yes ] ||
      fail "$cmd comes with $pkg, which is neither in Depends: nor essential"
  fi
done <<'EOF_CMDS'
ip iproute2
route net-tools
ping iputils-ping
sudo sudo
tar tar
cp coreutils
mv coreutils
mkdir coreutils
umount mount
kill procps
EOF_CMDS
echo "ok: Depends: $(echo $depends)"

step "maintainer scripts"
dpkg-deb -e "$deb" "$X/control"
for s in postinst prerm postrm; do sh -n "$X/control/$s" || fail "$s does not parse"; done
want=$(find "$X/root/lib/systemd/system" -maxdepth 1 -type f -exec grep -l '^\[Install\]' {} + | xargs -n1 basename | sort | tr '\n' ' ')
have=$(sed -n 's/^units="\(.*\)"$/\1/p' "$X/control/postinst" | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$want" = "$have" ] || fail "postinst enables '$have', the package's units to enable are '$want'"
grep -qxF /etc/lighttpd/conf-available/50-labeldock.conf "$X/control/conffiles" || fail "the fragment is no conffile"
echo "ok: postinst enables $have"
echo
echo "package test passed"
