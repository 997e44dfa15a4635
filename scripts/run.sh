#!/bin/sh
# Installs what is missing, builds, and starts the program named: the vault
# program Kavendru (the default) or the drive tool KavendruConfig.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR="${KAVENDRU_BUILD_DIR:-build}"
case "${1:-}" in
    KavendruConfig) program="$BUILD_DIR/config/KavendruConfig"; shift ;;
    Kavendru) program="$BUILD_DIR/bundles/linux-x64/Kavendru"; shift ;;
    "" | -*) program="$BUILD_DIR/bundles/linux-x64/Kavendru" ;;
    *) echo "Programa desconhecido: $1 (use Kavendru ou KavendruConfig)" >&2; exit 2 ;;
esac
# Without a display Qt aborts with a long message: say so in one line, and
# before installing and building, which take a minute for nothing then.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Sem tela: nenhum DISPLAY ou WAYLAND_DISPLAY definido; inicie $(basename "$program") numa sessão gráfica (ou defina QT_QPA_PLATFORM)." >&2
    exit 1
fi
sh scripts/setup.sh
sh scripts/build.sh
exec "$program" "$@"
