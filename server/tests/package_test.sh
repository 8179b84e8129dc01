#!/usr/bin/env bash
# Builds the Debian package with cpack and checks it: its file list and
# modes, control fields, conffile, the unit's paths, the manual page against
# the README's option table; then installs and removes it with dpkg and checks
# that nothing runs and nothing stays behind.
#
#   package_test.sh CPACK CPACK_CONFIG README WORK_DIR
#
# The install half needs root and a machine that has none of the package's
# files: it is skipped (exit 77) otherwise, so that the test never changes
# an installation it did not make.
set -euo pipefail
cpack=$1 config=$2 readme=$3 work=$4
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work" && mkdir -p "$work"
"$cpack" --config "$config" -G DEB -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
arch=$(dpkg --print-architecture)
deb=$work/oramet-timed_2.07_$arch.deb
[ -f "$deb" ] || fail "no $deb; cpack made: $(cd "$work" && ls ./*.deb 2>/dev/null)"

# Files (directories left out) with mode and owner.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort >"$work/files"
cat >"$work/expected" <<'EOF'
-rw-r--r-- root/root ./etc/oramet-timed.conf
-rw-r--r-- root/root ./usr/lib/systemd/system/oramet-timed.service
-rw-r--r-- root/root ./usr/lib/systemd/system/oramet-timed@.service
-rw-r--r-- root/root ./usr/share/doc/oramet-timed/README.md
-rw-r--r-- root/root ./usr/share/doc/oramet-timed/examples/haproxy.cfg
-rw-r--r-- root/root ./usr/share/man/man8/oramet-timed.8.gz
-rwxr-xr-x root/root ./usr/sbin/oramet-timed
EOF
diff -u "$work/expected" "$work/files" || fail "file list"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = oramet-timed ] || fail "Package: $(field Package)"
[ "$(field Version)" = 2.07 ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
# The libraries the binary links come from dpkg-shlibdeps.
[[ $(field Depends) == *libh2o-evloop* && $(field Depends) == *libhiredis* && $(field Depends) == *libc6* && $(field Depends) == *ssl-cert* ]] ||
  fail "Depends: $(field Depends)"

dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/oramet-timed.conf ] || fail "conffiles: $(cat "$work/control/conffiles")"
for s in postinst prerm postrm; do
  [ -x "$work/control/$s" ] || fail "$s missing or not executable"
done

dpkg-deb -x "$deb" "$work/root"
grep -qx 'ExecStart=/usr/sbin/oramet-timed --config /etc/oramet-timed.conf --require-synced-clock' \
  "$work/root/usr/lib/systemd/system/oramet-timed.service" || fail "unit's ExecStart"
if grep -n /usr/local "$work/root/usr/lib/systemd/system/oramet-timed.service"; then fail "unit names /usr/local"; fi
unit=$work/root/usr/lib/systemd/system/oramet-timed.service
for line in Type=notify WatchdogSec=10 SupplementaryGroups=ssl-cert \
    'ExecReload=/usr/sbin/oramet-timed --check-config --config /etc/oramet-timed.conf --require-synced-clock'; do
  grep -qxF "$line" "$unit" || fail "unit lacks $line"
done
grep -qx 'metrics-listen = 127.0.0.1:9617' "$work/root/etc/oramet-timed.conf" || fail "config's metrics-listen"
grep -qx 'ExecStart=/usr/sbin/oramet-timed --config /etc/oramet-timed/%i.conf --require-synced-clock' \
  "$work/root/usr/lib/systemd/system/oramet-timed@.service" || fail "template unit's ExecStart"
# The stop must outlast the drain and the grace that follows it.
drain=$(sed -n 's/^drain-ms = //p' "$work/root/etc/oramet-timed.conf")
stop=$(sed -n 's/^TimeoutStopSec=//p' "$unit")
[ -n "$drain" ] && [ "$drain" -gt 3000 ] && [ $((stop * 1000)) -gt $((drain + 3000)) ] ||
  fail "drain-ms ${drain:-missing} against TimeoutStopSec=$stop"

# systemctl reload as the unit spells it, without systemd: its ExecReload=
# lines in order against the packaged binary, the first failure failing the
# reload, on a copy of the config on loopback.
bin=$work/root/usr/sbin/oramet-timed conf=$work/reload.conf
mapfile -t reload_lines < <(sed -n 's/^ExecReload=//p' "$unit")
[ "${#reload_lines[@]}" -eq 2 ] || fail "ExecReload= lines: ${reload_lines[*]}"
sed -e 's/^listen = .*/listen = 127.0.0.241:18123/' -e 's/^metrics-listen = .*/metrics-listen = 127.0.0.241:18124/' \
  "$work/root/etc/oramet-timed.conf" >"$conf"
"$bin" --config "$conf" --workers 1 >"$work/server.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
reload() {
  local line
  for line in "${reload_lines[@]}"; do
    line=${line//\/usr\/sbin\/oramet-timed/$bin}
    line=${line//\/etc\/oramet-timed.conf/$conf}
    eval "${line//\$MAINPID/$pid}" >"$work/reload.out" 2>&1 || return 1
  done
}
for _ in $(seq 100); do grep -q listening "$work/server.log" && break; sleep 0.1; done
grep -q listening "$work/server.log" || fail "packaged server did not start: $(cat "$work/server.log")"
echo 'maintenance = maybe' >>"$conf"
if reload; then fail "reload of a broken config succeeded"; fi
grep -q "reload.conf: line $(wc -l <"$conf"): maintenance" "$work/reload.out" || fail "reload error: $(cat "$work/reload.out")"
sed -i 's/^maintenance = maybe$/maintenance = on/' "$conf"
reload || fail "reload of a good config: $(cat "$work/reload.out")"
for _ in $(seq 100); do grep -q 'settings reloaded' "$work/server.log" && break; sleep 0.1; done
kill -0 $pid || fail "the server did not survive the reloads"
[ "$(grep -c SIGHUP "$work/server.log")" -eq 1 ] || fail "server log after the reloads: $(cat "$work/server.log")"
kill $pid && wait $pid || fail "packaged server's exit: $?"
trap - EXIT

# Every option of the README's table is in the manual page (roff writes "-" as "\-").
zcat "$work/root/usr/share/man/man8/oramet-timed.8.gz" >"$work/oramet-timed.8"
options=$(sed -n '/^| option | default | meaning |/,/^$/p' "$readme" | grep -o -- '`--[a-z0-9-]*' | tr -d '`' | sort -u)
[ "$(wc -l <<<"$options")" -ge 10 ] || fail "read only these options from the README: $options"
for o in $options; do
  grep -qF -- "\\fB${o//-/\\-}\\fR" "$work/oramet-timed.8" || fail "option $o missing from the manual page"
done

# ---- install and remove
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: dpkg -i needs root"; exit 77
fi
exec 9>/tmp/oramet-timed-package-test.lock
flock -w 600 9 || fail "another run of this test holds the lock"  # worktrees test at once
if dpkg-query -W -f='${Status}' oramet-timed 2>/dev/null | grep -qv 'not-installed'; then
  echo "SKIP: package oramet-timed is installed here: $(dpkg-query -W -f='${Status}' oramet-timed)"; exit 77
fi
for f in $(cd "$work/root" && find . ! -type d | cut -c2-); do
  if [ -e "$f" ]; then echo "SKIP: $f exists here"; exit 77; fi
done

# dpkg waits for no one; retry while another dpkg or apt holds its lock.
dpkg_locked() {
  local i out
  for i in $(seq 60); do
    if out=$(dpkg "$@" 2>&1); then return 0; fi
    grep -qi 'lock' <<<"$out" || { echo "$out" >&2; return 1; }
    sleep 2
  done
  echo "$out" >&2; return 1
}
# What the maintainer scripts may touch, to compare after the purge. On a
# machine without systemd deb-systemd-helper makes /etc/systemd/system and
# /var/lib/systemd and leaves them (empty) after a purge, as for every
# package with a unit; the test removes those again.
state() { { find /etc/systemd /var/lib/systemd "$@" 2>/dev/null || true; } | sort; }
state ! -type d >"$work/state-before"
state -type d >"$work/dirs-before"
# With systemd running, keep the service from starting (deb-systemd-invoke
# asks policy-rc.d): the test must not open port 80 on the host.
policy=""
if [ -d /run/systemd/system ] && [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d
  policy=/usr/sbin/policy-rc.d
fi
cleanup() {
  dpkg_locked -P oramet-timed >/dev/null 2>&1 || true
  [ -z "$policy" ] || rm -f "$policy"
  state -type d | comm -13 "$work/dirs-before" - | sort -r | xargs -r rmdir --ignore-fail-on-non-empty
}
trap cleanup EXIT

dpkg_locked -i "$deb" || fail "dpkg -i"
[ "$(dpkg-query -W -f='${Status}' oramet-timed)" = "install ok installed" ] || fail "not installed"
/usr/sbin/oramet-timed --help >/dev/null || fail "installed binary does not run"
[ -L /etc/systemd/system/multi-user.target.wants/oramet-timed.service ] || fail "unit not enabled"
running() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2>/dev/null)" = /usr/sbin/oramet-timed ] && return 0
  done
  return 1
}
if [ ! -d /run/systemd/system ] && running; then fail "installing started oramet-timed without systemd"; fi

dpkg_locked -r oramet-timed || fail "dpkg -r"
[ "$(dpkg-query -W -f='${Status}' oramet-timed)" = "deinstall ok config-files" ] || fail "not removed"
[ ! -e /usr/sbin/oramet-timed ] && [ ! -e /usr/lib/systemd/system/oramet-timed.service ] || fail "files left"
[ -f /etc/oramet-timed.conf ] || fail "dpkg -r took the config file"
if running; then fail "oramet-timed still runs after dpkg -r"; fi

dpkg_locked -P oramet-timed || fail "dpkg -P"
[ ! -e /etc/oramet-timed.conf ] || fail "purge left the config file"
state ! -type d >"$work/state-after"
diff -u "$work/state-before" "$work/state-after" || fail "the maintainer scripts left these behind"
echo "package $deb: files, fields, manual page, install, remove and purge all right"
