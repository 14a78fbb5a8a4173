#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build, then AddressSanitizer+UBSan, then
# ThreadSanitizer built with clang, whose thread-safety analysis checks every locking annotation
# (an unchecked one is an error). Usage: scripts/test.sh [normal|address|thread ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
builds=("$@")
((${#builds[@]})) || builds=(normal address thread)

for kind in "${builds[@]}"; do
  dir="build-test-$kind"
  sanitize=""
  bench=ON
  compilers=(-DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++)
  if [ "$kind" != normal ]; then sanitize="$kind"; bench=OFF; fi
  if [ "$kind" = thread ]; then
    compilers=(-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14)
  fi
  echo "=== $kind build ==="
  # Sanitizer builds at -O1 with line tables only: they compile much faster and still report
  # every finding with its source line.
  flags="-O2 -g1 -DNDEBUG"
  [ -z "$sanitize" ] || flags="-O1 -g1"
  cmake -S . -B "$dir" "${compilers[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" -DQUILLANE_SANITIZE="$sanitize" \
        -DQUILLANE_BENCHMARKS="$bench" >/dev/null
  cmake --build "$dir" -j "$jobs"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
  # Browsers and ffmpeg watch the normal build's camera; the sanitizer builds leave them out.
  labels=()
  [ -z "$sanitize" ] || labels=(-LE clients)
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 120 "${labels[@]}")
done
