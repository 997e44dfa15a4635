#!/bin/sh
# Draws the vault program's real window offscreen, on a 1920 x 1080 screen
# with one drive and an unlocked vault, into docs/kavendru.png (the
# README's picture).
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
BUILD_DIR="${KAVENDRU_BUILD_DIR:-build}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/home" "$tmp/tmp" "$tmp/runtime"
chmod 700 "$tmp/runtime"
printf '{"screens": [{"name": "tela", "x": 0, "y": 0, "width": 1920, "height": 1080}]}\n' >"$tmp/screen.json"
mkdir -p docs
HOME="$tmp/home" TMPDIR="$tmp/tmp" XDG_RUNTIME_DIR="$tmp/runtime" \
    QT_QPA_PLATFORM="offscreen:configfile=$tmp/screen.json" \
    "$BUILD_DIR/tests/ui/window_picture" docs/kavendru.png
echo "docs/kavendru.png"
