#!/usr/bin/env bash
# Runs the README's test command as a new user would: in a minimal Debian 12
# (debootstrap minbase plus git), as root, from a clone of the current commit.
# Run it after changing the set-up script, the presets or the toolchain file;
# it takes about a quarter of an hour and is not part of CI.
#
# The bare system is cached as build/fresh/debian12-minbase.tar.gz (the root
# as debootstrap left it); delete it to start from a newer one. Usage: bash scripts/fresh-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
cache=$src/build/fresh
tarball=$cache/debian12-minbase.tar.gz
mirror=${FRESH_MIRROR:-http://deb.debian.org/debian}

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-check: run as root (debootstrap and chroot need it)" >&2
  exit 1
fi
command -v debootstrap >/dev/null || {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}

mkdir -p "$cache"
if [ ! -f "$tarball" ]; then
  echo "fresh-check: building a minimal Debian 12 (once; cached in $tarball)"
  rm -rf "$cache/make-root"
  debootstrap --variant=minbase --include=git,ca-certificates \
    bookworm "$cache/make-root" "$mirror" >/dev/null
  tar -C "$cache/make-root" -czf "$tarball.part" .
  rm -rf --one-file-system "$cache/make-root"
  mv "$tarball.part" "$tarball"
fi

root=$(mktemp -d "$cache/root.XXXXXX")
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -l "${mounted[i]}" 2>/dev/null || true
  done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT

tar -C "$root" -xzf "$tarball"
cp /etc/resolv.conf "$root/etc/resolv.conf"
for m in proc sys dev dev/pts; do
  mount --bind "/$m" "$root/$m"
  mounted+=("$root/$m")
done
# A shared memory and temporary area of its own, as on a new machine.
mount -t tmpfs tmpfs "$root/dev/shm" && mounted+=("$root/dev/shm")

commit=$(git rev-parse HEAD)
git clone -q "$src" "$root/root/oramet"
git -C "$root/root/oramet" checkout -q "$commit"
echo "fresh-check: running the test command on $commit"

log=$cache/fresh-check.log
status=0
chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  bash -c 'cd /root/oramet && bash scripts/test.sh' >"$log" 2>&1 </dev/null || status=$?

echo "fresh-check: test command exited with $status (full output: $log)"
grep -E 'tests passed|tests failed|Total Test time' "$log" || true
exit "$status"
