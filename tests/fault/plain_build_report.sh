#!/usr/bin/env bash
# The fault report of a build made as a distribution makes it: a plain configure without a preset
# or flags, from a checkout whose own path holds "/src/shell/". The report must name the faulting
# line of the program, not line 0 nor a line of the path's look-alike folders.
# Usage: plain_build_report.sh <source folder>
set -euo pipefail
source_dir=$1
work=$(mktemp -d /tmp/mirl-plain-XXXXXX)
trap 'rm -rf "$work"' EXIT
checkout=$work/src/shell/mirl
mkdir -p "$checkout"
# The tree as it is, from a clone or an unpacked tarball alike, without builds.
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$checkout" -xf -
cmake -S "$checkout" -B "$work/build" -DMIRL_BUILD_BENCH=OFF >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; exit 1; }
grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$work/build/CMakeCache.txt" ||
    { echo "a plain configure did not default to a release build"; exit 1; }
cmake --build "$work/build" -j "$(nproc)" --target fault_child >"$work/build.log" 2>&1 ||
    { tail -30 "$work/build.log"; exit 1; }
expected=$(grep -n '// fault: null write' "$checkout/tests/fault/fault_hooks.cpp" | cut -d: -f1)
output=$(QT_QPA_PLATFORM=offscreen "$work/build/tests/fault/fault_child" null 2>&1) || true
echo "$output" | grep -q "<report>Error at line $expected" ||
    { echo "expected line $expected, got:"; echo "$output"; exit 1; }
echo "plain build reports line $expected"
