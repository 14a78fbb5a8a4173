#!/usr/bin/env bash
# Sets up, builds and runs the main job as far as it goes today: writes the placeholder
# pictures, starts the camera extension, and streams a moving test pattern through
# `quillane-camd run` for a few seconds, printing its status lines.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLANE_BENCHMARKS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target quillane-camera-extension quillane-camd \
  quillane-test-pattern quillane-placeholder-png

mkdir -p out
build/tools/quillane-placeholder-png out

build/extension/quillane-camera-extension &
extension=$!
trap 'kill $extension 2>/dev/null || true' EXIT

build/camd/quillane-camd status
build/tools/quillane-test-pattern --size 1280x720 --fps 30 --frames 90 | build/camd/quillane-camd run
