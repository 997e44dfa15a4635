#!/bin/sh
# Installs what is missing, builds, and starts the program named: the vault
# program Kavendru (the default) or the drive tool KavendruConfig.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
sh scripts/build.sh
BUILD_DIR="${KAVENDRU_BUILD_DIR:-build}"
case "${1:-}" in
    KavendruConfig) shift; exec "$BUILD_DIR/config/KavendruConfig" "$@" ;;
    Kavendru) shift ;;
    "" | -*) ;;
    *) echo "Programa desconhecido: $1 (use Kavendru ou KavendruConfig)" >&2; exit 2 ;;
esac
if [ -x "$BUILD_DIR/ui/Kavendru" ]; then
    exec "$BUILD_DIR/ui/Kavendru" "$@"
fi
echo "A janela do Kavendru ainda nao existe: o projeto foi compilado inteiro (bibliotecas, testes e benchmarks em $BUILD_DIR), mas nao ha programa para iniciar."
