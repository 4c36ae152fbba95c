#!/usr/bin/env bash
# Builds everything and runs every test twice: in the normal build and in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer. The tests of the
# threaded parts (the media tree, the HTTP engine, discovery, eventing) run a third time
# under ThreadSanitizer.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"

"$repo/scripts/install-deps.sh"

# run_suite DIR TARGETS CMAKE-ARGS...: TARGETS is "all" or a list of test
# programs; only the tests of what was built run.
run_suite() {
    local dir="$1" targets="$2"
    shift 2
    cmake -S "$repo" -B "$dir" "$@" >/dev/null
    if [ "$targets" = all ]; then
        cmake --build "$dir" -j"$jobs"
    else
        # shellcheck disable=SC2086
        cmake --build "$dir" -j"$jobs" --target $targets
    fi
    # Tests of programs a partial suite does not build are left out: the
    # fuzz replays, and the scripts that drive the programs (label
    # "program").
    local skip='_NOT_BUILT$'
    local skip_labels=()
    if [ "$targets" != all ]; then
        skip='_NOT_BUILT$|^FuzzReplay[.]'
        skip_labels=(-LE program)
    fi
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure --no-tests=error -E "$skip" \
        "${skip_labels[@]}"
}

echo "== normal build"
run_suite "$repo/build" all -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
# The benchmarks measure; they are not built again with the sanitizers.
run_suite "$repo/build-asan" all -DCMAKE_BUILD_TYPE=Debug -DCORVALENSO_SANITIZE=ON \
    -DCORVALENSO_BENCH=OFF
echo "== thread sanitizer build (media tree, HTTP engine, discovery, eventing)"
run_suite "$repo/build-tsan" "db_tests http_tests upnp_tests eventing_tests" -DCMAKE_BUILD_TYPE=Debug \
    -DCORVALENSO_THREAD_SANITIZE=ON
