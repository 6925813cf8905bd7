#!/usr/bin/env bash
# Usage: fuzz_seeds.sh <fuzz build dir>
# Rewrites the seed corpora that our own writers make (the rest are written
# by hand): the test-model kit's GGUF files for the GGUF reader and the model
# load targets, and make_storage_seeds' containers for the store target.
# Run it after a change to the kit or to the container format, and commit
# the result.
set -euo pipefail
build_dir="$1"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
corpus="$root/fuzz/corpus"
models="$(mktemp -d)"
trap 'rm -rf "$models"' EXIT
cmake --build "$build_dir" --target make_test_models make_storage_seeds >&2
"$build_dir/bin/make_test_models" "$models" >&2

# The reader reads every kind of file the kit writes that is small: a chat
# model, a projector and a bert decision model (each its own tokenizer
# layout). The load target starts from the micro chat model, the smallest
# file that loads, so a run loads quickly.
rm -rf "$corpus/gguf_reader" "$corpus/model_load" "$corpus/storage_open"
mkdir -p "$corpus/gguf_reader" "$corpus/model_load" "$corpus/storage_open"
for name in micro-chat tiny-mmproj tiny-decision; do
  cp "$models/$name.gguf" "$corpus/gguf_reader/$name"
done
cp "$models/micro-chat.gguf" "$corpus/model_load/micro-chat"
"$build_dir/bin/make_storage_seeds" "$corpus/storage_open"
ls -l "$corpus/gguf_reader" "$corpus/model_load" "$corpus/storage_open" >&2
