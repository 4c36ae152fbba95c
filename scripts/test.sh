#!/usr/bin/env bash
# Builds everything and runs every test twice: in the normal build and in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"

"$repo/scripts/install-deps.sh"

run_suite() {
    local dir="$1"
    shift
    cmake -S "$repo" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure --no-tests=error
}

echo "== normal build"
run_suite "$repo/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
run_suite "$repo/build-asan" -DCMAKE_BUILD_TYPE=Debug -DCORVALENSO_SANITIZE=ON
