#!/usr/bin/env bash
# Configures (once) and builds one flavour: "release" into build/, "asan"
# (AddressSanitizer + UndefinedBehaviorSanitizer) into build-asan/. Further
# arguments name the targets to build (default: all).
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
shift $(($# > 0 ? 1 : 0))
case "$flavour" in
    release) dir=build; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan) dir=build-asan; opts=(-DCMAKE_BUILD_TYPE=Debug -DKELM_SANITIZE=ON) ;;
    *) echo "usage: $0 [release|asan]" >&2; exit 2 ;;
esac
# A compiler cache, where the machine has one, spares rebuilding what has not
# changed between checkouts.
if command -v ccache >/dev/null; then
    opts+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    # The tests' precompiled headers are cached only with these.
    export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
fi
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "${opts[@]}"
fi
targets=()
[ $# -gt 0 ] && targets=(--target "$@")
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
