#!/usr/bin/env bash
# Builds a release of this commit into dist/: for 64-bit and 32-bit Windows
# the setup program and the portable zip, the time server's Debian package,
# the symbol files in one archive of their own, and SHA256SUMS over them all.
#
# Two runs from the same commit give the same bytes, in any folder and on any
# day: the time written anywhere is the commit's (SOURCE_DATE_EPOCH), no
# build folder reaches a file, and archives are sorted with fixed owners.
#
# Signing: with ORAMET_SIGN_PFX (a PKCS#12 file), ORAMET_SIGN_PASSWORD and,
# optionally, ORAMET_TIMESTAMP_URL set, every program is signed before it
# goes into its setup program and zip, then the setup programs themselves.
#
# Usage: release.sh [--no-setup]   (--no-setup: the packages are installed)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

[ "${1:-}" = --no-setup ] || bash scripts/setup.sh

if [ -n "$(git status --porcelain --untracked-files=no)" ] && [ -z "${ORAMET_RELEASE_DIRTY:-}" ]; then
  echo "release: the work tree has changes; a release is built from a commit" \
       "(ORAMET_RELEASE_DIRTY=1 builds it anyway)" >&2
  exit 1
fi

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C.UTF-8
umask 022
version=$(sed -n 's/^project(oramet VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt" >&2; exit 1; }

sign=OFF
if [ -n "${ORAMET_SIGN_PFX:-}" ]; then
  [ -r "$ORAMET_SIGN_PFX" ] || { echo "release: cannot read $ORAMET_SIGN_PFX" >&2; exit 1; }
  command -v osslsigncode >/dev/null || { echo "release: osslsigncode is missing" >&2; exit 1; }
  sign=ON
fi

work=$root/build/release
dist=$root/dist
rm -rf "$work" "$dist"
mkdir -p "$work/symbols" "$dist"

for arch in x64 x86; do
  case $arch in
    x64) toolchain=cmake/mingw-x86_64.cmake ;;
    x86) toolchain=cmake/mingw-i686.cmake ;;
  esac
  tree=$work/$arch
  cmake -S . -B "$tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DORAMET_SIGN=$sign >/dev/null
  cmake --build "$tree" --target oramet oramet-clock installer portable_zip
  cp "$tree/oramet-$version-$arch-setup.exe" "$tree/oramet-$version-$arch.zip" "$dist/"
  mkdir -p "$work/symbols/$arch"
  cp "$tree/oramet.debug" "$tree/oramet-clock.debug" "$work/symbols/$arch/"
done

server=$work/server
cmake -S server -B "$server" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DORAMET_TIMED_TESTS=OFF >/dev/null
cmake --build "$server" --target oramet-timed oramet-timed-manpage
(cd "$server" && cpack -G DEB >/dev/null)
cp "$server"/oramet-timed_"$version"_*.deb "$dist/"
mkdir -p "$work/symbols/server"
objcopy --only-keep-debug "$server/oramet-timed" "$work/symbols/server/oramet-timed.debug"

# Sorted entries, the commit's time, no owner names: the same archive from
# the same files.
tar -C "$work/symbols" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
    --numeric-owner --mode=u=rwX,go=rX -cf - x64 x86 server \
  | gzip -9n > "$dist/oramet-$version-symbols.tar.gz"

(cd "$dist" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort \
   | xargs sha256sum > SHA256SUMS)

echo
echo "release $version of commit $(git rev-parse --short HEAD) in $dist:"
if [ "$sign" = ON ]; then
  echo "  programs and setup programs signed with $ORAMET_SIGN_PFX"
else
  echo "  unsigned (set ORAMET_SIGN_PFX and ORAMET_SIGN_PASSWORD to sign)"
fi
(cd "$dist" && ls -l --time-style=+ | sed -n '2,$p' | awk '{ printf "  %10d  %s\n", $5, $NF }')
echo
cat "$dist/SHA256SUMS"
