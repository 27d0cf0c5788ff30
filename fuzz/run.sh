#!/usr/bin/env bash
# run.sh BUILD TARGET [SECONDS]
# Runs BUILD/fuzz_TARGET for SECONDS (30 by default) on a copy of its seed
# corpus. Fails on any crash, leak, timeout, memory blow-up or sanitizer
# report; the input that did it is kept in BUILD/artifacts/TARGET/.
set -euo pipefail
build=$(cd "$1" && pwd)
target=$2
seconds=${3:-30}

fuzzer=$build/fuzz_$target
seeds=$build/corpus/$target
[ -x "$fuzzer" ] || { echo "run.sh: no fuzzer $fuzzer (build the fuzz project first)" >&2; exit 2; }
[ -d "$seeds" ] || { echo "run.sh: no seed corpus $seeds" >&2; exit 2; }

# libFuzzer adds what it finds to its first corpus folder: keep the seeds clean.
corpus=$(mktemp -d "${TMPDIR:-/tmp}/halvorn-fuzz-$target-XXXXXX")
log=$corpus.log
# What a target makes for itself (a keychain store) goes with the rest.
scratch=$corpus.tmp
trap 'rm -rf "$corpus" "$log" "$scratch"' EXIT
cp "$seeds"/* "$corpus"/
mkdir -p "$scratch"
mkdir -p "$build/artifacts/$target"

export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1"

status=0
# Standard output is closed: the dispatcher prints every request it serves.
TMPDIR=$scratch "$fuzzer" "$corpus" -close_fd_mask=1 \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1536 -max_len=8192 \
  -print_final_stats=1 -artifact_prefix="$build/artifacts/$target/" >"$log" 2>&1 || status=$?

# A sanitizer report that did not stop the run still fails it.
if [ $status -eq 0 ] && grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
  status=1
fi
if [ $status -ne 0 ]; then
  tail -n 120 "$log"
  echo "run.sh: fuzz_$target failed (status $status); reproduce with: $fuzzer $build/artifacts/$target/<file>"
  exit 1
fi
grep -E '^(INFO: Seed|stat::|Done)' "$log" || true
echo "run.sh: fuzz_$target clean for ${seconds}s"
