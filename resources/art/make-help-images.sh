#!/bin/sh
# Renders the help page's pictures from their SVGs into
# ../help/pt_BR/images/ at 900x360. Needs rsvg-convert (librsvg2-bin) and the
# DejaVu fonts. The PNGs are committed; run this only after editing an SVG.
set -eu
cd "$(dirname "$0")"
out=../help/pt_BR/images
mkdir -p "$out"
for name in fluxo-uso gerenciador-pacotes; do
    rsvg-convert -w 900 -h 360 "$name.svg" -o "$out/$name.png"
done
