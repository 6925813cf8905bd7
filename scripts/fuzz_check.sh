#!/usr/bin/env bash
# Usage: fuzz_check.sh <fuzz build dir> <runs>
# Runs every fuzz target built in <fuzz build dir>/bin for <runs> inputs,
# starting from its committed seed corpus (fuzz/corpus/<name>/) with a fixed
# seed, so a run is repeatable. New inputs go to a temporary folder; the
# committed corpus is never changed. A crash, leak, time-out or sanitizer
# report fails the check and leaves the reproducer in fuzz-findings/.
set -euo pipefail
build_dir="$1"
runs="$2"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
findings="$root/fuzz-findings"
failed=0
passed=0
for corpus in "$root"/fuzz/corpus/*/; do
  name="$(basename "$corpus")"
  bin="$build_dir/bin/fuzz_$name"
  if [ ! -x "$bin" ]; then
    echo "fuzz-check: $name has a corpus but no target $bin" >&2
    failed=$((failed + 1))
    continue
  fi
  args=(-runs="$runs" -seed=1 -timeout=30 -rss_limit_mb=4096 -print_final_stats=1
        -artifact_prefix="$findings/$name-")
  [ -f "$root/fuzz/dict/$name.dict" ] && args+=(-dict="$root/fuzz/dict/$name.dict")
  mkdir -p "$work/$name" "$findings"
  start=$(date +%s)
  if "$bin" "${args[@]}" "$work/$name" "$corpus" > "$work/$name.log" 2>&1; then
    echo "fuzz-check: $name passed ($runs runs, $(( $(date +%s) - start )) s)"
    passed=$((passed + 1))
  else
    echo "fuzz-check: $name FAILED; its log:" >&2
    tail -n 60 "$work/$name.log" >&2
    failed=$((failed + 1))
  fi
done
rmdir "$findings" 2>/dev/null || true
echo "fuzz-check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
