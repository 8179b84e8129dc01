#!/usr/bin/env python3
"""Packs a zip whose bytes depend on its entries' contents alone: the entries
in the order given, each dated SOURCE_DATE_EPOCH (1 January 1980 without it),
mode 0644, no owner.

Usage: pack-zip.py OUT.zip NAME=PATH..."""
import os
import sys
import time
import zipfile


def main(out, entries):
    epoch = int(os.environ.get('SOURCE_DATE_EPOCH', '315532800'))
    # A zip's times are local times of no zone; the release's clock is UTC.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    tmp = out + '.tmp'
    with zipfile.ZipFile(tmp, 'w', zipfile.ZIP_DEFLATED) as z:
        for entry in entries:
            name, path = entry.split('=', 1)
            info = zipfile.ZipInfo(name, stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = 0o100644 << 16
            with open(path, 'rb') as f:
                z.writestr(info, f.read(), compresslevel=9)
    os.replace(tmp, out)


if __name__ == '__main__':
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2:])
