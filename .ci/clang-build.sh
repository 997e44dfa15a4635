#!/bin/bash
# Builds the whole project once with Debian's clang and -Werror, so that a
# construct only GCC accepts cannot land. The tests run in the GCC builds.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang++ >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
    $SUDO apt-get update
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends clang
fi

sh scripts/setup.sh
BUILD_DIR="${KAVENDRU_CLANG_BUILD_DIR:-build-clang}"
CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKAVENDRU_WERROR=ON
cmake --build "$BUILD_DIR" --parallel
echo "clang-build: the project builds with $(clang++ --version | head -n 1)"
