#!/usr/bin/env bash
# Usage: configure.sh <build-dir> [address|thread|fuzz]
# Runs the set-up, then configures the CMake build tree once; later builds let
# Ninja re-run CMake by itself when a CMake file changes.
set -euo pipefail
build_dir="$1"
san="${2:-}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
llama_dir="$(bash "$here/setup.sh" | tail -n 1)"
# shellcheck source=versions.sh
source "$here/versions.sh"
webm_dir="${XDG_CACHE_HOME:-$HOME/.cache}/brisvane/libwebm-$LIBWEBM_SOURCE_VERSION"
cache="$build_dir/CMakeCache.txt"
if [ -f "$build_dir/build.ninja" ] && grep -qx "LLAMA_CPP_DIR:PATH=$llama_dir" "$cache" \
   && grep -qx "LIBWEBM_SOURCE_DIR:PATH=$webm_dir" "$cache" \
   && grep -qx "BRISVANE_SAN:STRING=$san" "$cache"; then
  exit 0
fi
compilers=()
# libFuzzer comes with clang; the other builds use the system's default compiler.
[ "$san" = fuzz ] && compilers=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
cmake -G Ninja -S "$here/.." -B "$build_dir" -DLLAMA_CPP_DIR="$llama_dir" -DLIBWEBM_SOURCE_DIR="$webm_dir" -DBRISVANE_SAN="$san" "${compilers[@]}" >&2
