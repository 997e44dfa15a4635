#!/bin/sh
# Renders the two window backgrounds from kavendru-background-0N.svg into
# ../backgrounds/Fundo0N.png at 1600 x 900. Needs rsvg-convert (librsvg2-bin).
# The PNGs are committed; run this only after editing an SVG.
set -eu
cd "$(dirname "$0")"
for n in 01 02; do
    rsvg-convert -w 1600 -h 900 "kavendru-background-$n.svg" -o "../backgrounds/Fundo$n.png"
done
