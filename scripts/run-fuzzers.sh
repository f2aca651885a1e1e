#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) and runs them.
#
#   scripts/run-fuzzers.sh [seconds-per-target] [build-dir]   fuzz each target in turn (default 300 s)
#   scripts/run-fuzzers.sh --regress [build-dir]              replay each target's corpus once (CI)
#   scripts/run-fuzzers.sh --merge [build-dir]                fold what the runs found into fuzz/corpus
#
# Target <name>_fuzzer starts from fuzz/corpus/<name> (read only) and keeps what it finds in
# <build-dir>/fuzz-corpus/<name>; crashes and other findings go to <build-dir>/fuzz-artifacts/<name>.
# --merge keeps the named seeds and adds, minimised with -merge=1, only inputs that reach new coverage.
# FUZZ_TARGETS="appcast log_tail" picks targets; JOBS sets the build's parallelism (default 2).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
mode=fuzz
case "${1:-}" in
--regress) mode=regress; shift ;;
--merge) mode=merge; shift ;;
esac
seconds=300
if [ "$mode" = fuzz ] && [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds="$1"
  shift
fi
build="$(realpath -m "${1:-$root/build-fuzz}")"
read -r -a targets <<<"${FUZZ_TARGETS:-appcast feedback_answer log_tail}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQUILLORA_BUILD_FUZZERS=ON \
  -DQUILLORA_BUILD_TESTS=OFF -DQUILLORA_BUILD_BENCH=OFF -DQUILLORA_WERROR=ON >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]/%/_fuzzer}"

if [ "$mode" = regress ]; then
  # The regression run is the fuzz build's CTest suite.
  regex="^fuzz_regress_($(IFS='|'; echo "${targets[*]}"))\$"
  ctest --test-dir "$build/fuzz" --output-on-failure -R "$regex"
  exit $?
fi

# The seeds are the files named by hand; what -merge=1 adds is named by its SHA-1.
is_generated() { [[ "$(basename "$1")" =~ ^[0-9a-f]{40}$ ]]; }

if [ "$mode" = merge ]; then
  for name in "${targets[@]}"; do
    corpus="$root/fuzz/corpus/$name"
    found="$build/fuzz-corpus/$name"
    [ -d "$found" ] || { echo "$name: nothing found yet in $found"; continue; }
    # Earlier additions go back into the pool and are chosen again with the rest.
    for file in "$corpus"/*; do
      if is_generated "$file"; then mv -f "$file" "$found/"; fi
    done
    # Inputs already covered by the seeds are left out; the rest is cut to a minimal covering set.
    "$build/fuzz/${name}_fuzzer" -merge=1 "$corpus" "$found" >"$build/fuzz-merge-$name.log" 2>&1 ||
      { tail -20 "$build/fuzz-merge-$name.log"; exit 1; }
    echo "$name: $(find "$corpus" -type f | wc -l) files, $(cat "$corpus"/* | wc -c) bytes in fuzz/corpus/$name"
  done
  exit 0
fi

summary=()
status=0
for name in "${targets[@]}"; do
  found="$build/fuzz-corpus/$name"
  artifacts="$build/fuzz-artifacts/$name"
  log="$build/fuzz-$name.log"
  mkdir -p "$found" "$artifacts"
  options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/")
  [ -f "$root/fuzz/$name.dict" ] && options+=(-dict="$root/fuzz/$name.dict")
  start="$(mktemp)"
  echo "== $name: ${seconds}s"
  # One process: the machine's cores are shared. A finding stops the run; the log keeps the report.
  outcome=0
  "$build/fuzz/${name}_fuzzer" "${options[@]}" "$found" "$root/fuzz/corpus/$name" >"$log" 2>&1 || outcome=$?
  done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)"
  [ -n "$done_line" ] || done_line="$(grep -E '^#[0-9]+' "$log" | tail -1 || true)"
  final_stat() { grep -E "^stat::$1:" "$log" | awk '{print $2}' | tail -1; }
  findings="$(find "$artifacts" -type f -newer "$start" | sort)"
  rm -f "$start"
  cov="$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$done_line")"
  ft="$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$done_line")"
  corp="$(sed -nE 's/.*corp: ([0-9]+\/[0-9]+[a-zA-Z]*).*/\1/p' <<<"$done_line")"
  line="$(printf '%-16s execs %-10s exec/s %-7s cov %-5s ft %-6s corpus %-12s findings %s' "$name" \
    "$(final_stat number_of_executed_units)" "$(final_stat average_exec_per_sec)" "${cov:-?}" "${ft:-?}" "${corp:-?}" \
    "$(grep -c . <<<"$findings" || true)")"
  echo "$line"
  summary+=("$line")
  if [ -n "$findings" ]; then
    grep -E '^(property broken|SUMMARY|==[0-9]+==ERROR)' "$log" | head -5 || true
    echo "$findings"
  fi
  if [ "$outcome" -ne 0 ]; then
    status=1
    [ -n "$findings" ] || tail -5 "$log" # it did not even start
  fi
done

echo
echo "Summary (${seconds}s per target; logs in $build/fuzz-<name>.log)"
printf '%s\n' "${summary[@]}"
exit $status
