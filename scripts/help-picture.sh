#!/bin/sh
# Draws the help page's picture of the drive tool,
# resources/help/pt_BR/images/gerenciador-pacotes.png (900 x 360): the real
# window offscreen on a 1280 x 800 screen with one drive inserted, scaled,
# with the four numbered markers the page explains. The tool runs from a
# folder with both bundles beside it, where the built tool finds them, so it
# shows both sources available. The PNG is committed; run this after
# changing the tool's window.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
BUILD_DIR="${KAVENDRU_BUILD_DIR:-build}"
out=resources/help/pt_BR/images/gerenciador-pacotes.png
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
printf '{"screens": [{"name": "tela", "x": 0, "y": 0, "width": 1280, "height": 800}]}\n' >"$tmp/screen.json"
mkdir -p "$tmp/tool/bundles/windows-x64" "$tmp/tool/bundles/linux-x64"
cp "$BUILD_DIR/tests/config/config_help_picture" "$tmp/tool/"
# Only their presence is looked at.
: >"$tmp/tool/bundles/windows-x64/Kavendru.exe"
: >"$tmp/tool/bundles/linux-x64/Kavendru"
HOME="$tmp" XDG_RUNTIME_DIR="$tmp" QT_QPA_PLATFORM="offscreen:configfile=$tmp/screen.json" \
    "$tmp/tool/config_help_picture" "$out"
echo "$out"
