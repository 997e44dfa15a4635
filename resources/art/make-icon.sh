#!/bin/sh
# Renders the application icon from kavendru-icon.svg into ../icons/Kavendru.ico
# with six sizes from 16 to 256 pixels. Needs rsvg-convert (librsvg2-bin) and
# icotool (icoutils). The .ico is committed; run this only after editing the SVG.
set -eu
cd "$(dirname "$0")"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
for s in 16 24 32 48 64 256; do
    rsvg-convert -w "$s" -h "$s" kavendru-icon.svg -o "$tmp/icon-$s.png"
done
# The 256 entry is stored as PNG, the smaller ones as bitmaps, as Windows expects.
icotool -c -o ../icons/Kavendru.ico \
    "$tmp/icon-16.png" "$tmp/icon-24.png" "$tmp/icon-32.png" "$tmp/icon-48.png" \
    "$tmp/icon-64.png" -r "$tmp/icon-256.png"
