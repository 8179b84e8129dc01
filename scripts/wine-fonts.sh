#!/usr/bin/env bash
# Gives a Wine prefix Wine's own fonts (Debian's fonts-wine): Marlett draws
# the caption buttons' symbols, as on Windows. The
# 64-bit Wine of Debian 12 does not look in /usr/share/wine/fonts, so they
# are linked into the prefix's Fonts folder. Idempotent.
# Usage: wine-fonts.sh PREFIX
set -euo pipefail
fonts="$1/drive_c/windows/Fonts"
[ -d /usr/share/wine/fonts ] && [ -d "$fonts" ] || exit 0
for font in /usr/share/wine/fonts/*; do
  [ -e "$fonts/$(basename "$font")" ] || ln -s "$font" "$fonts/"
done
