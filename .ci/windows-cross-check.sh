#!/bin/bash
# Cross-compiles the Windows-only kernel32 forwarding file against the MinGW
# headers: its static_asserts check our constants and layouts, and the calls
# check the signatures, without a Windows machine. Then compiles the vault
# program's resource script (icon group, version, manifest) with the MinGW
# resource compiler. Skips when the compiler cannot be installed.
set -uo pipefail
cd "$(dirname "$0")/.."

CXX=x86_64-w64-mingw32-g++
if ! command -v "$CXX" >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
    { $SUDO apt-get update && $SUDO env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends g++-mingw-w64-x86-64; } >/dev/null 2>&1
fi
if ! command -v "$CXX" >/dev/null 2>&1; then
    echo "windows-cross-check: $CXX not available, skipped"
    exit 0
fi

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
if "$CXX" -std=c++17 -Wall -Wextra -Wpedantic -Werror -I. \
    -c platform/windows/Kernel32.cpp -o "$out/Kernel32.o"; then
    echo "windows-cross-check: platform/windows/Kernel32.cpp compiles for Windows x64"
else
    echo "windows-cross-check: FAILED"
    exit 1
fi

RC=x86_64-w64-mingw32-windres
# The icon group must carry its six sizes (16 to 256): the count sits in
# the icon file's header.
icons="$(od -A n -t u2 -j 4 -N 2 resources/icons/Kavendru.ico | tr -d ' ')"
if [ "$icons" != "6" ]; then
    echo "windows-cross-check: resources/icons/Kavendru.ico holds $icons images, not 6"
    exit 1
fi
if "$RC" -I resources -O coff -o "$out/Kavendru.res" resources/Kavendru.rc; then
    echo "windows-cross-check: resources/Kavendru.rc compiles ($RC)"
else
    echo "windows-cross-check: resources/Kavendru.rc FAILED"
    exit 1
fi
