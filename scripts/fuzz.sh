#!/usr/bin/env bash
# Runs every libFuzzer target of a KESTRUNE_FUZZ build for a bounded time,
# starting from its seed corpus, and prints what each run reached.
#
#   scripts/fuzz.sh [build-folder] [seconds-per-target]
#
# New inputs go to a scratch folder, so the seed corpus is left as it is;
# a crashing input is kept as <build>/fuzz-artifacts/<target>/crash-*.
# To grow a seed corpus, run a target by hand with its corpus folder first.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-fuzz}"
seconds="${2:-30}"
targets=(helper_protocol config_reader tokenizer hub_metadata model_folder audio_file)
export ASAN_OPTIONS="${ASAN_OPTIONS:-allocator_may_return_null=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
for target in "${targets[@]}"; do
  binary="$build/tests/fuzz/${target}_fuzzer"
  if [ ! -x "$binary" ]; then
    echo "fuzz: $binary not found; build with -DKESTRUNE_FUZZ=ON" >&2
    exit 1
  fi
  mkdir -p "$work/$target" "$build/fuzz-artifacts/$target"
  log="$work/$target.log"
  # The helper target may reserve a payload as large as physical memory;
  # only its resident size matters, which -rss_limit_mb still bounds.
  if "$binary" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=3072 \
       -malloc_limit_mb=1000000 -max_len=131072 -print_final_stats=1 \
       -artifact_prefix="$build/fuzz-artifacts/$target/" \
       "$work/$target" "$root/tests/fuzz/corpus/$target" > "$log" 2>&1; then
    result="ok"
  else
    result="FAILED"
    status=1
    tail -n 60 "$log"
  fi
  summary=$(grep -E "^#[0-9]+.*(DONE|INITED|pulse|NEW|REDUCE)" "$log" | tail -n 1 || true)
  execs=$(grep -E "stat::number_of_executed_units" "$log" | awk '{print $2}' || true)
  echo "fuzz: $target $result: executions ${execs:-?}; last: ${summary:-none}"
done
exit $status
