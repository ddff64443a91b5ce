#!/usr/bin/env bash
# Makes the German locale (de_DE.UTF-8) that the tests of a German desktop session use in FOLDER,
# once per test run instead of once per test process; where the machine has it compiled already,
# or FOLDER holds a working one, it does nothing. The locale is made beside its place and renamed
# into it, so that a reader never sees half of it.
# Usage: make_german_locale.sh <folder>
set -euo pipefail
folder=$1
locale=de_DE.UTF-8

works() { [[ $(LC_ALL=$locale "$@" locale -k decimal_point 2>/dev/null) == 'decimal_point=","' ]]; }

if works env || works env LOCPATH="$folder"; then
    exit 0
fi
mkdir -p "$folder"
new=$(mktemp -d "$folder/.new-XXXXXX")
trap 'rm -rf "$new"' EXIT
# localedef warns about some sources and still writes the locale (exit code 1).
code=0
localedef -i de_DE -f UTF-8 "$new/$locale" >"$new/localedef.log" 2>&1 || code=$?
if ((code > 1)) || [[ ! -d $new/$locale ]]; then
    echo "localedef failed (the package locales provides its sources):"
    cat "$new/localedef.log"
    exit 1
fi
rm -rf "${folder:?}/$locale"
mv -T "$new/$locale" "$folder/$locale"
works env LOCPATH="$folder" || { echo "the locale made in $folder does not work"; exit 1; }
echo "made $folder/$locale"
