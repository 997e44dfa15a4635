#!/bin/sh
# Draws the real windows offscreen into the pictures the project ships:
# - docs/kavendru.png: the vault program, one drive and an unlocked vault,
#   on a 1920 x 1080 screen (the README's picture);
# - docs/kavendru-config.png: the drive tool with one drive inserted, on a
#   1920 x 1080 screen (the README's picture);
# - resources/help/pt_BR/images/gerenciador-pacotes.png (900 x 360): the
#   drive tool on a 1280 x 800 screen, scaled, with the four numbered
#   markers the help page explains. That tool runs from a folder with both
#   bundles beside it, so it shows both sources available.
# The PNGs are committed; run this after changing a window.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
BUILD_DIR="${KAVENDRU_BUILD_DIR:-build}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/home" "$tmp/tmp" "$tmp/runtime" docs
chmod 700 "$tmp/runtime"
screen() { printf '{"screens": [{"name": "tela", "x": 0, "y": 0, "width": %s, "height": %s}]}\n' "$1" "$2" >"$tmp/screen-$1.json"; }
screen 1920 1080
screen 1280 800
# draw <screen width> <program> <arguments...>
draw() {
    width="$1"
    shift
    HOME="$tmp/home" TMPDIR="$tmp/tmp" XDG_RUNTIME_DIR="$tmp/runtime" \
        QT_QPA_PLATFORM="offscreen:configfile=$tmp/screen-$width.json" "$@"
}

draw 1920 "$BUILD_DIR/tests/ui/window_picture" docs/kavendru.png
draw 1920 "$BUILD_DIR/tests/config/config_window_picture" docs/kavendru-config.png 1

mkdir -p "$tmp/tool/bundles/windows-x64" "$tmp/tool/bundles/linux-x64"
cp "$BUILD_DIR/tests/config/config_help_picture" "$tmp/tool/"
# Only their presence is looked at.
: >"$tmp/tool/bundles/windows-x64/Kavendru.exe"
: >"$tmp/tool/bundles/linux-x64/Kavendru"
draw 1280 "$tmp/tool/config_help_picture" resources/help/pt_BR/images/gerenciador-pacotes.png

echo docs/kavendru.png docs/kavendru-config.png resources/help/pt_BR/images/gerenciador-pacotes.png
