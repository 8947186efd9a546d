#!/usr/bin/env bash
# Builds one configuration: scripts/build.sh DIR [cmake options...]
# BUILD_TARGETS (space-separated) builds only those targets and what they need.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$top" -B "$top/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# shellcheck disable=SC2086
cmake --build "$top/$dir" -j"$(nproc)" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
