#!/usr/bin/env bash
# Fuzzes the encoder's C interface and the ORV reader with libFuzzer, under
# AddressSanitizer and UndefinedBehaviorSanitizer, each target for a bounded
# time on a copy of its committed corpus; the two run side by side.
#   fuzz/run.sh          build, then fuzz each target FUZZ_SECONDS (default 50) s
#   fuzz/run.sh build    build only
# Needs clang and libFuzzer (Debian: clang, libclang-rt-14-dev). A failure
# leaves its input in $FUZZ_BUILD_DIR/artifacts/: commit it to the target's
# corpus, where tests/test_fuzz_corpus.cpp replays it on every test run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-50}

mkdir -p "$build"
if ! { CC=clang CXX=clang++ cmake -S fuzz -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j "$(nproc)" --target fuzz_encoder fuzz_reader; } \
     >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log"
  exit 1
fi

case "${1:-run}" in
  build) exit 0 ;;
esac

# Leaks are failures; a huge allocation is reported by libFuzzer's own limit.
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ORV_FUZZ_OUTPUT="$build/fuzz_encoder_output.orv"
mkdir -p "$build/artifacts"
pids=()
for target in encoder reader; do
  work="$build/corpus-$target"
  rm -rf "$work"
  mkdir -p "$work"
  cp fuzz/corpus/"$target"/* "$work"/
  "$build/fuzz_$target" "$work" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    >"$build/fuzz_$target.log" 2>&1 &
  pids+=($!)
done

passed=0 failed=0
for i in 0 1; do
  target=$([ "$i" = 0 ] && echo encoder || echo reader)
  if wait "${pids[$i]}"; then
    passed=$((passed + 1))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz_$target.log")
    echo "fuzz_$target: ${runs:-?} inputs in ${seconds}s, corpus $(ls fuzz/corpus/$target | wc -l)" \
         "seeds grown to $(ls "$build/corpus-$target" | wc -l)"
  else
    failed=$((failed + 1))
    echo "fuzz_$target FAILED; input saved in $build/artifacts/:"
    tail -n 60 "$build/fuzz_$target.log"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" = 0 ]
