#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# a few seconds (FUZZ_SECONDS, default 10). Fails on the first crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-10}
dir=build-fuzz
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [ ! -f "$dir/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKELM_FUZZ=ON -DKELM_TESTS=OFF "${launcher[@]}"
fi
cmake --build "$dir" -j"$(nproc)"
shopt -s nullglob
targets=("$dir"/tests/fuzz/fuzz_*)
passed=0
failed=0
for t in "${targets[@]}"; do
    [ -f "$t" ] && [ -x "$t" ] || continue # skip the build's *_autogen folders
    name=$(basename "$t")
    corpus=$(mktemp -d)
    seeds=tests/fuzz/seeds/${name#fuzz_}
    echo "--- $name for ${seconds}s"
    if "$t" -max_total_time="$seconds" -max_len=4096 -print_final_stats=0 "$corpus" \
        $( [ -d "$seeds" ] && echo "$seeds" ) >"$dir/$name.log" 2>&1; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        tail -n 40 "$dir/$name.log"
    fi
    rm -rf "$corpus"
done
echo "fuzz: ${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
