#!/usr/bin/env bash
# Builds and starts KelmUpload; under a virtual display when there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh release KelmUpload >&2
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    exec xvfb-run -a build/app/KelmUpload "$@"
fi
exec build/app/KelmUpload "$@"
