#!/usr/bin/env bash
# Builds and runs every test: the unit and end-to-end tests with g++, then the same tests
# with clang under AddressSanitizer and UndefinedBehaviorSanitizer, together with the short
# fuzzing runs and the memcheck runs that this second build registers.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DSMBAUDIT_SANITIZE=ON \
      -DSMBAUDIT_FUZZ=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")
