#!/usr/bin/env bash
# Builds everything and runs every test twice: in the normal build and in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer. The tests of the
# threaded parts (the media tree, the HTTP engine, discovery, eventing) run a third time
# under ThreadSanitizer. Each suite's tests run while the next suite builds;
# the output of a suite's tests is shown once they have ended.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"

"$repo/scripts/install-deps.sh"

# build_suite DIR TARGETS CMAKE-ARGS...: TARGETS is "all" or a list of test
# programs. Builds run at the lowest priority: the tests of the suite before
# run meanwhile, mostly waiting on sockets and programs, and keep the CPU
# they ask for.
build_suite() {
    local dir="$1" targets="$2"
    shift 2
    cmake -S "$repo" -B "$dir" "$@" >/dev/null
    if [ "$targets" = all ]; then
        nice -n 19 cmake --build "$dir" -j"$jobs"
    else
        # shellcheck disable=SC2086
        nice -n 19 cmake --build "$dir" -j"$jobs" --target $targets
    fi
}

# test_suite DIR TARGETS LOG: only the tests of what was built run. Tests of
# programs a partial suite does not build are left out: the fuzz replays,
# and the scripts that drive the programs (label "program").
test_suite() {
    local dir="$1" targets="$2" log="$3"
    local skip='_NOT_BUILT$'
    local skip_labels=()
    if [ "$targets" != all ]; then
        skip='_NOT_BUILT$|^FuzzReplay[.]'
        skip_labels=(-LE program)
    fi
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure --no-tests=error -E "$skip" \
        "${skip_labels[@]}" >"$log" 2>&1
}

# finish NAME PID LOG: waits for a suite's tests and shows what they printed;
# a failing suite ends the run with its status.
finish() {
    local status=0
    wait "$2" || status=$?
    echo "== tests of the $1 build"
    cat "$3"
    if [ "$status" -ne 0 ]; then
        echo "== the $1 build's tests failed" >&2
        exit "$status"
    fi
}

logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT

echo "== normal build"
build_suite "$repo/build" all -DCMAKE_BUILD_TYPE=RelWithDebInfo
test_suite "$repo/build" all "$logs/normal" &
normal=$!
echo "== sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
# The benchmarks measure; they are not built again with the sanitizers.
build_suite "$repo/build-asan" all -DCMAKE_BUILD_TYPE=Debug -DCORVALENSO_SANITIZE=ON \
    -DCORVALENSO_BENCH=OFF
finish normal "$normal" "$logs/normal"
test_suite "$repo/build-asan" all "$logs/asan" &
asan=$!
echo "== thread sanitizer build (media tree, HTTP engine, discovery, eventing)"
tsan_targets="db_tests http_tests upnp_tests eventing_tests"
build_suite "$repo/build-tsan" "$tsan_targets" -DCMAKE_BUILD_TYPE=Debug \
    -DCORVALENSO_THREAD_SANITIZE=ON
finish sanitizer "$asan" "$logs/asan"
test_suite "$repo/build-tsan" "$tsan_targets" "$logs/tsan" &
finish "thread sanitizer" $! "$logs/tsan"
