#!/usr/bin/env bash
# Every C++ file of src, tests and bench is laid out as the committed .clang-format says. Layouts
# differ between clang-format versions: the check runs with the version the tree is kept with and
# is skipped (77) with any other.
set -euo pipefail
root=$1
format=$2
kept_with=14
version=$("$format" --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
if [[ $version != "$kept_with" ]]; then
    echo "clang-format $version is not $kept_with, the version this tree is laid out with: skipped"
    exit 77
fi
cd "$root"
find src tests bench \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 "$format" --dry-run --Werror
