#!/usr/bin/env bash
# Configures and builds into build/ (the executable is build/RAZUDovuve,
# with its Wav/ folder beside it).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" > build.log 2>&1 || { cat build.log; exit 1; }
cmake --build build -j"$(nproc)"
