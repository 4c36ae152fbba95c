#!/usr/bin/env bash
# Builds the full edition and starts it in the current directory, which is
# then the content directory unless the settings name others. Any options
# are passed on, e.g. scripts/run.sh -ip 127.0.0.1 -radio 0
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

"$repo/scripts/install-deps.sh"
cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$repo/build" -j"$(nproc)" --target plenwick >/dev/null
exec "$repo/build/plenwick" "$@"
