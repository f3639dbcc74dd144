#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite twice: a
# normal build and a sanitizer build (address + undefined, halt on error).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Quoted: the checkout's path may hold spaces.
export LSAN_OPTIONS="suppressions=\"$PWD/tests/lsan.supp\":print_suppressions=0"

status=0
echo "=== fuzz targets ==="
scripts/fuzz.sh || status=1
for flavour in release asan; do
    echo "=== $flavour build ==="
    scripts/build.sh "$flavour"
    dir=build; [ "$flavour" = asan ] && dir=build-asan
    (cd "$dir" && ctest --output-on-failure -j2) || status=1
done
exit $status
