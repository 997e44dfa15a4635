#!/bin/sh
# Installs the Debian packages the build and the tests need, only those missing.
set -eu

PACKAGES="cmake ninja-build g++ pkg-config qt6-base-dev libsodium-dev libgl-dev \
e2fsprogs util-linux mount procps unzip dash openssl python3 curl qt6-translations-l10n \
exfatprogs exfat-fuse strace"

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done

if [ -n "$missing" ]; then
    echo "Instalando pacotes:$missing"
    if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
    $SUDO apt-get update
    # shellcheck disable=SC2086
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi
