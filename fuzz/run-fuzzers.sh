#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in a build tree of their own and
# runs each for a set time.
#
#   run-fuzzers.sh [--build-dir DIR] [--seconds N] [--jobs N] [--parallel N] [TARGET...]
#
# TARGET is a name such as index_file (default: every target). The seed
# corpus in fuzz/corpus/<target> is never written to: new inputs go to
# DIR/fuzz-work/<target>, logs to DIR/fuzz-logs, findings to
# DIR/fuzz-findings/<target>/. Exit status: 0 when no target found
# anything, 1 on a finding or a failed build, 77 when clang's fuzzer
# runtime is not installed.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(dirname "$here")"
build_dir="$source_dir/build-fuzz"
seconds="${FUZZ_SECONDS:-600}"
jobs=2
parallel=2
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --parallel) parallel="$2"; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done

cc="" cxx=""
for v in 14 ""; do
  if command -v "clang++${v:+-$v}" >/dev/null && command -v "clang${v:+-$v}" >/dev/null; then
    cc="clang${v:+-$v}" cxx="clang++${v:+-$v}"
    break
  fi
done
probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  > "$probe/probe.cpp"
if [ -z "$cxx" ] || ! "$cxx" -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
  echo "run-fuzzers: clang with libFuzzer is not installed; nothing run" >&2
  exit 77
fi

export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$source_dir}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
if [ ! -f "$build_dir/build.ninja" ]; then
  CC="$cc" CXX="$cxx" cmake -S "$source_dir" -B "$build_dir" -G Ninja -DRS_FUZZ=ON \
    -DRS_BUILD_TESTS=OFF -DRS_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
nice -n 10 cmake --build "$build_dir" -j "$jobs" --target fuzz_targets

if [ ${#targets[@]} -eq 0 ]; then
  for binary in "$build_dir"/fuzz/fuzz_*; do
    targets+=("$(basename "$binary" | sed 's/^fuzz_//')")
  done
fi

mkdir -p "$build_dir/fuzz-logs"
run_one() {
  local name="$1"
  local work="$build_dir/fuzz-work/$name" findings="$build_dir/fuzz-findings/$name/"
  mkdir -p "$work" "$findings"
  local inputs=("$work" "$here/corpus/$name")
  [ -d "$here/regressions/$name" ] && inputs+=("$here/regressions/$name")
  nice -n 10 "$build_dir/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$findings" -print_final_stats=1 "${inputs[@]}" \
    >"$build_dir/fuzz-logs/$name.log" 2>&1
}

failed=()
running=()
status_dir="$probe/status"
mkdir -p "$status_dir"
for name in "${targets[@]}"; do
  if [ ! -x "$build_dir/fuzz/fuzz_$name" ]; then
    echo "run-fuzzers: no target $name" >&2
    failed+=("$name")
    continue
  fi
  ( if run_one "$name"; then echo ok; else echo failed; fi >"$status_dir/$name" ) &
  running+=($!)
  if [ ${#running[@]} -ge "$parallel" ]; then
    wait "${running[0]}"
    running=("${running[@]:1}")
  fi
done
wait

for name in "${targets[@]}"; do
  [ -f "$status_dir/$name" ] || continue
  log="$build_dir/fuzz-logs/$name.log"
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  echo "$name: $(cat "$status_dir/$name"), ${runs:-?} runs in ${seconds}s (log $log)"
  [ "$(cat "$status_dir/$name")" = ok ] || { failed+=("$name"); tail -n 30 "$log" >&2; }
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "run-fuzzers: findings or failures in: ${failed[*]}" >&2
  exit 1
fi
