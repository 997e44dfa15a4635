#!/bin/sh
# Installs what is missing, builds, and starts the vault program.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
sh scripts/build.sh
BUILD_DIR="${KAVENDRU_BUILD_DIR:-build}"
if [ -x "$BUILD_DIR/ui/Kavendru" ]; then
    exec "$BUILD_DIR/ui/Kavendru" "$@"
fi
echo "A janela do Kavendru ainda nao existe: o projeto foi compilado inteiro (bibliotecas, testes e benchmarks em $BUILD_DIR), mas nao ha programa para iniciar."
