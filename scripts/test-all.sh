#!/usr/bin/env bash
# Installs, builds and runs every test: the plain build with all tests, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, the ThreadSanitizer
# build, and short fuzz runs. Ends with one summary line.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/install-deps.sh" || exit 1
echo "dependencies: $SECONDS s"

passed=0
failed=0
status=0
log=$(mktemp)

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
  local began=$SECONDS
  "$top/scripts/build.sh" "$@" -DORVANEL_TESTS=ON -DORVANEL_DESKTOP="${DESKTOP:-ON}" ||
    { echo "build of $1 failed"; status=1; return 1; }
  echo "build $1: $((SECONDS - began)) s"
}

echo "== plain build: every test"
if build build; then
  # The Windows tests need the Windows build: they run in its own section.
  run_ctest build -j2 -LE 'load|serial|desktop|windows'
  run_ctest build -L 'load|serial'
  # The window tests one at a time: each runs its own X server.
  run_ctest build -L desktop
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
if build build-asan -DORVANEL_SANITIZE=address,undefined; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest build-asan -j2 -L 'unit|blackbox'
  # One at a time, as above; the tests bring their own leak suppressions
  # for the toolkit (desktop/lsan.supp).
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest build-asan -L desktop
fi

echo "== ThreadSanitizer (the threaded core, store and client under test)"
# Without the window, which no test of these labels starts.
if DESKTOP=OFF build build-tsan -DORVANEL_SANITIZE=thread; then
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -j2 -L 'unit|blackbox'
fi

echo "== the other build types, with the tests: unit tests"
# Release builds everything, so that warnings of the optimizer are seen in
# every program; Debug and MinSizeRel build the unit tests and the libraries
# they test, which is all that they run.
unit_targets="core_unit_tests pelican_unit_tests store_tests service_unit_tests desktop_unit_tests"
for type in Release Debug MinSizeRel; do
  targets=
  [ "$type" = Release ] || targets=$unit_targets
  if BUILD_TARGETS=$targets build "build-$type" -DCMAKE_BUILD_TYPE="$type"; then
    run_ctest "build-$type" -j2 -L unit
  fi
done

echo "== Windows: cross-built with mingw-w64, run under Wine"
windows_start=$SECONDS
if "$top/scripts/build-windows.sh"; then
  echo "Windows build and zip: $((SECONDS - windows_start)) s"
  # Unit tests of the core and the client as Windows programs.
  run_ctest build-win -j2 -L unit -LE linux_only
  echo "Windows unit tests done at $((SECONDS - windows_start)) s"
  # Harrier.exe, the service and pelican.dll against the Linux build, two at
  # once (one per Wine prefix).
  if [ -x "$top/build/bin/harrier" ]; then run_ctest build -L windows -j2; else status=1; fi
else
  echo "Windows build failed"
  status=1
fi
echo "Windows section: $((SECONDS - windows_start)) s"

echo "== fuzzing (short runs)"
# Only the fuzz targets: the rest of the tree is built and tested above.
if CC=clang CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DORVANEL_FUZZ=ON -DORVANEL_TESTS=OFF >/dev/null &&
  cmake --build "$top/build-fuzz" -j"$(nproc)" --target fuzz_store fuzz_request fuzz_oack; then
  # The targets run side by side, each with its own time budget.
  fuzz_dir=$(mktemp -d)
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
  done
  wait
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
else
  echo "fuzz build failed"
  status=1
fi

rm -f "$log"
echo "whole run: $SECONDS s"
echo "all: $passed passed, $failed failed"
exit $status
