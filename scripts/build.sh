#!/bin/sh
# Configures and builds the project in $KAVENDRU_BUILD_DIR (default: build).
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR="${KAVENDRU_BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -G Ninja \
    -DKAVENDRU_WERROR="${KAVENDRU_WERROR:-OFF}" \
    -DKAVENDRU_SANITIZE="${KAVENDRU_SANITIZE:-OFF}"
cmake --build "$BUILD_DIR" --parallel
