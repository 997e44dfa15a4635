#!/bin/sh
# Renders the help page's flow picture from its SVG into
# ../help/pt_BR/images/ at 900x360. Needs rsvg-convert (librsvg2-bin) and the
# DejaVu fonts. The PNG is committed; run this only after editing the SVG.
# The picture of the drive tool is drawn from its real window by
# scripts/window-pictures.sh.
set -eu
cd "$(dirname "$0")"
out=../help/pt_BR/images
mkdir -p "$out"
rsvg-convert -w 900 -h 360 fluxo-uso.svg -o "$out/fluxo-uso.png"
