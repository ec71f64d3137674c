#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang, address and undefined-behaviour
# sanitizers) in build-fuzz and runs each for SECONDS (default 60) on a scratch copy of its
# seed corpus, so that nothing new lands in the repository. Fails on any crash, leak or
# broken invariant, and prints how many inputs each target ran.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-60}
build=${KOV_FUZZ_BUILD:-build-fuzz}
targets=(head_reader target_mapping format listing credentials zip_layout)

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKOV_FUZZ=ON \
  -DKOV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/kov_fuzz_}"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kov-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

summary=()
for target in "${targets[@]}"; do
  corpus="$scratch/$target"
  mkdir -p "$corpus" "$scratch/artifacts-$target"
  cp tests/fuzz/corpus/"$target"/* "$corpus"/
  log="$scratch/$target.log"
  printf '\n=== fuzz %s for %s s\n' "$target" "$seconds"
  # -max_len covers a full head buffer with a body and pieces to spare, and the longest
  # target; one input that takes 30 s counts as a hang.
  if ! nice "$build/tests/fuzz/kov_fuzz_$target" "$corpus" -max_total_time="$seconds" \
      -dict="tests/fuzz/$target.dict" -max_len=8192 -detect_leaks=1 -timeout=30 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$scratch/artifacts-$target/" \
      >"$log" 2>&1; then
    tail -n 60 "$log"
    # Keep what broke it where it can be looked at after the scratch folder is gone.
    mkdir -p "$build/artifacts"
    cp "$scratch/artifacts-$target"/* "$build/artifacts/" 2>/dev/null || true
    echo "fuzz: $target FAILED; inputs kept in $build/artifacts/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  grep -E '^(#[0-9]+ +DONE|stat::)' "$log" || true
  summary+=("$target: ${runs:-?} executions, corpus $(find "$corpus" -type f | wc -l) inputs")
done

printf '\nfuzz: every target passed (%s s each)\n' "$seconds"
printf '  %s\n' "${summary[@]}"
