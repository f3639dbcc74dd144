#!/usr/bin/env bash
# Configures (once) and builds one flavour: "release" into build/, "asan"
# (AddressSanitizer + UndefinedBehaviorSanitizer) into build-asan/.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
case "$flavour" in
    release) dir=build; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan) dir=build-asan; opts=(-DCMAKE_BUILD_TYPE=Debug -DKELM_SANITIZE=ON) ;;
    *) echo "usage: $0 [release|asan]" >&2; exit 2 ;;
esac
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "${opts[@]}"
fi
cmake --build "$dir" -j"$(nproc)"
