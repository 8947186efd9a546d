#!/usr/bin/env bash
# Installs, builds and runs every test: the plain build with all tests, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, the ThreadSanitizer
# build, the Release build, the Debian packages, the Windows build under
# Wine, and short fuzz runs. Ends with one summary line.
#
# Most tests wait (for time-outs, for X, for Wine) more than they compute,
# so the builds after the first run behind them, one after another, at the
# idle scheduling class: they take only the CPU that the tests leave. The
# load test, which measures, runs with those builds stopped.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/install-deps.sh" || exit 1
echo "dependencies: $SECONDS s"

passed=0
failed=0
status=0
log=$(mktemp)
state=$(mktemp -d)
trap 'rm -rf "$log" "$state"; [ -n "${builder:-}" ] && { kill -CONT -- -"$builder"; kill -- -"$builder"; } 2>/dev/null' EXIT

# Runs ctest in a build directory with the given arguments and adds its counts.
run_ctest() {
  local dir=$1
  local began=$SECONDS
  shift
  (cd "$top/$dir" && ctest --output-on-failure --timeout 600 "$@") 2>&1 | tee "$log"
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    echo "ctest in $dir ran no test"
    status=1
    return
  fi
  local total fails
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  fails=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - fails))
  failed=$((failed + fails))
  [ "$fails" -eq 0 ] || status=1
  echo "ctest $dir $*: $((SECONDS - began)) s"
}

# The tests are asked for explicitly: build/ may hold the demo's cache,
# which has them off. DESKTOP=OFF leaves the window out; BUILD_TARGETS
# (scripts/build.sh) builds only some targets.
build() {
  "$top/scripts/build.sh" "$@" -DORVANEL_TESTS=ON -DORVANEL_DESKTOP="${DESKTOP:-ON}"
}

# Only the fuzz targets: the rest of the tree is built and tested elsewhere.
build_fuzz() {
  CC=clang CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DORVANEL_FUZZ=ON -DORVANEL_TESTS=OFF >/dev/null &&
    cmake --build "$top/build-fuzz" -j"$(nproc)" --target fuzz_store fuzz_request fuzz_oack
}

# One build in the background chain: its output to a file, its result and
# time to $state/NAME.status for await_build.
chain_step() {
  local name=$1 began=$SECONDS
  shift
  if "$@" >"$state/$name.log" 2>&1; then
    echo "ok $((SECONDS - began))" >"$state/$name.status"
  else
    echo "failed $((SECONDS - began))" >"$state/$name.status"
  fi
}

# The sanitizer builds compile at -O1 with line tables only: their reports
# need no more, and they build in half the time.
sanitized="-O1 -g1 -DNDEBUG"

build_chain() {
  chain_step asan build build-asan -DORVANEL_SANITIZE=address,undefined \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$sanitized" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$sanitized"
  chain_step packages "$top/scripts/build-packages.sh" "$state/packages"
  # Without the window, which no test of these labels starts.
  DESKTOP=OFF chain_step tsan build build-tsan -DORVANEL_SANITIZE=thread \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$sanitized" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$sanitized"
  # Release builds everything, so that warnings of the optimizer are seen
  # in every program. (The plain build is RelWithDebInfo; the unit tests run
  # in both, under both sanitizers and under Wine, which is why no Debug or
  # MinSizeRel build rebuilds them once more.)
  chain_step Release build build-Release -DCMAKE_BUILD_TYPE=Release
  chain_step windows "$top/scripts/build-windows.sh"
  chain_step fuzz build_fuzz
}

# Waits for a build of the chain; says how long it took and when it was
# ready. Fails when the build failed (its log's end is shown).
await_build() {
  local name=$1 waited=$SECONDS
  while [ ! -f "$state/$name.status" ]; do
    if ! kill -0 "$builder" 2>/dev/null; then
      echo "the build chain ended without building $name"
      status=1
      return 1
    fi
    sleep 2
  done
  local result seconds
  read -r result seconds <"$state/$name.status"
  echo "build $name: $seconds s in the background, waited $((SECONDS - waited)) s for it"
  if [ "$result" != ok ]; then
    tail -n 60 "$state/$name.log"
    echo "build of $name failed"
    status=1
    return 1
  fi
}

# The chain stopped while tests run that measure or build.
hold_builds() { kill -STOP -- -"$builder" 2>/dev/null; }
release_builds() { kill -CONT -- -"$builder" 2>/dev/null; }

echo "== plain build: every test"
began=$SECONDS
if build build; then
  echo "build build: $((SECONDS - began)) s"
else
  echo "build of build failed"
  status=1
fi

# Its own process group (job control on while it starts), so that it can be
# stopped and ended as one; the idle class (chrt) so that a test never waits
# for a compiler.
set -m
(
  chrt --idle -p 0 "$BASHPID" >/dev/null
  build_chain
) &
builder=$!
set +m

if [ -x "$top/build/bin/harrier" ]; then
  # The Windows tests need the Windows build: they run in its own section.
  run_ctest build -j2 -LE 'load|serial|desktop|windows'
  hold_builds
  run_ctest build -L load
  release_builds
  # The window tests one at a time: each runs its own X server.
  run_ctest build -L desktop
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
if await_build asan; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest build-asan -j2 -L 'unit|blackbox'
  # One at a time, as above; the tests bring their own leak suppressions
  # for the toolkit (desktop/lsan.supp).
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest build-asan -L desktop
fi

echo "== the Debian packages: lintian, installed, served from, purged"
# Built by the chain from the tracked sources, as the test would build them.
if await_build packages; then
  ORVANEL_PACKAGES=$state/packages run_ctest build -L serial
fi

echo "== ThreadSanitizer (the threaded core, store and client under test)"
if await_build tsan; then
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -j2 -L 'unit|blackbox'
fi

echo "== Windows: cross-built with mingw-w64, run under Wine"
if await_build windows; then
  grep -F "orvanel-tftp-win64.zip:" "$state/windows.log"
  # Unit tests of the core and the client as Windows programs.
  run_ctest build-win -j2 -L unit
  # Harrier.exe, the service and pelican.dll against the Linux build, two at
  # once (one per Wine prefix).
  if [ -x "$top/build/bin/harrier" ]; then run_ctest build -L windows -j2; else status=1; fi
fi

echo "== Release: unit tests"
if await_build Release; then
  run_ctest build-Release -j2 -L unit
fi

echo "== fuzzing (short runs)"
if await_build fuzz; then
  # The targets run side by side, each with its own time budget.
  fuzz_dir=$(mktemp -d)
  fuzzers=()
  for target in "$top"/build-fuzz/bin/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    mkdir -p "$fuzz_dir/$name"
    # New inputs go to the temporary directory; the committed seeds
    # (fuzz/corpus/<target without fuzz_>) start the run from valid packets.
    seeds="$top/fuzz/corpus/${name#fuzz_}"
    [ -d "$seeds" ] || seeds=
    (
      if "$target" -max_total_time="${FUZZ_SECONDS:-30}" -rss_limit_mb=2048 "$fuzz_dir/$name" $seeds \
        >"$fuzz_dir/$name.log" 2>&1; then
        echo ok >"$fuzz_dir/$name.status"
      else
        echo failed >"$fuzz_dir/$name.status"
      fi
    ) &
    fuzzers+=($!)
  done
  wait "${fuzzers[@]}"
  for status_file in "$fuzz_dir"/*.status; do
    [ -f "$status_file" ] || continue
    name=$(basename "$status_file" .status)
    if [ "$(cat "$status_file")" = ok ]; then
      echo "$name: $(grep -Eo 'Done [0-9]+ runs' "$fuzz_dir/$name.log" | grep -Eo '[0-9]+') runs, no finding"
      passed=$((passed + 1))
    else
      tail -n 40 "$fuzz_dir/$name.log"
      echo "$name: FAILED"
      failed=$((failed + 1))
      status=1
    fi
  done
  rm -rf "$fuzz_dir"
fi

wait "$builder" 2>/dev/null
echo "whole run: $SECONDS s"
echo "all: $passed passed, $failed failed"
exit $status
