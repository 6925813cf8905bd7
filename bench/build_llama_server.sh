#!/usr/bin/env bash
# Builds llama.cpp's own server (llama-server) from the llama.cpp source tree
# the product is built from, with the same compiler flags and CPU baseline, into
# a folder of its own. The product compiles llama.cpp as position-independent
# code (CMAKE_POSITION_INDEPENDENT_CODE in the top-level CMakeLists.txt, -O2 of
# RelWithDebInfo, OpenMP on, the AVX2/FMA/F16C baseline of cmake/llama.cmake):
# the server gets the same, so a comparison measures the programs and not
# their code generation. It serves two benchmarks (bench_chat_bench
# --llama-server, bench_http_bench --llama-server) and nothing else:
# `make build`, `make test` and the product never build or use it.
# Usage: bench/build_llama_server.sh [folder]   (default: build-llama-server)
# Prints the program's path on its last line.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:-$here/../build-llama-server}"
llama_dir="$(bash "$here/../scripts/setup.sh" | tail -n 1)"
# No web interface (it would be fetched from the network) and no downloads.
cmake -G Ninja -S "$llama_dir" -B "$out" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DGGML_NATIVE=OFF -DGGML_AVX2=ON -DGGML_FMA=ON -DGGML_F16C=ON -DGGML_CCACHE=OFF \
  -DLLAMA_BUILD_COMMON=ON -DLLAMA_BUILD_TOOLS=ON -DLLAMA_BUILD_SERVER=ON \
  -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_APP=OFF \
  -DLLAMA_BUILD_UI=OFF -DLLAMA_USE_PREBUILT_UI=OFF -DLLAMA_OPENSSL=OFF -DLLAMA_CURL=OFF >&2
cmake --build "$out" -j "${JOBS:-3}" --target llama-server >&2
echo "$(cd "$out" && pwd)/bin/llama-server"
