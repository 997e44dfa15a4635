#!/bin/sh
# Draws the drive tool's real window offscreen, on a 1920 x 1080 screen with
# one drive inserted, into docs/kavendru-config.png (the README's picture).
# Build the vault program first, so the window finds its Linux source.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
BUILD_DIR="${KAVENDRU_BUILD_DIR:-build}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
printf '{"screens": [{"name": "tela", "x": 0, "y": 0, "width": 1920, "height": 1080}]}\n' >"$tmp/screen.json"
mkdir -p docs
HOME="$tmp" XDG_RUNTIME_DIR="$tmp" QT_QPA_PLATFORM="offscreen:configfile=$tmp/screen.json" \
    "$BUILD_DIR/tests/config/config_window_picture" docs/kavendru-config.png 1
echo "docs/kavendru-config.png"
