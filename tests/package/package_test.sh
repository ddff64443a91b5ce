#!/usr/bin/env bash
# The Debian package of a build: what it holds, what it depends on, and that its desktop entry and
# AppStream metainfo pass their validators.
# Usage: package_test.sh <build folder>
set -euo pipefail
build=$1
work=$(mktemp -d /tmp/mirl-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "package: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/mirl_*_"$(dpkg --print-architecture)".deb 2>/dev/null | head -1)
[[ -n $deb ]] || fail "no mirl_<version>_<arch>.deb in $(ls "$work")"

contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
for file in ./usr/bin/mirl ./usr/share/applications/io.github.mirl.Mirl.desktop \
    ./usr/share/icons/hicolor/scalable/apps/mirl.svg ./usr/share/metainfo/io.github.mirl.Mirl.metainfo.xml \
    ./usr/share/doc/mirl/copyright ./usr/share/doc/mirl/changelog.gz ./usr/share/man/man1/mirl.1.gz \
    ./usr/share/lintian/overrides/mirl; do
    grep -qx "$file" <<<"$contents" || fail "$file missing; contents: $contents"
done
if grep -qvE '^\./(usr/?|usr/bin/?|usr/bin/mirl|usr/share/?|usr/share/(applications|icons|metainfo|doc|man|lintian)(/.*)?)$' <<<"$contents"; then
    fail "unexpected files: $(grep -vE '^\./(usr/?|usr/bin/?|usr/bin/mirl|usr/share/?|usr/share/(applications|icons|metainfo|doc|man|lintian)(/.*)?)$' <<<"$contents")"
fi

depends=$(dpkg-deb -f "$deb" Depends)
# By library: Debian 13 names some of them with a suffix for the 64-bit time change (libdw1t64).
for needed in libc6 libqt6widgets6 libqt6gui6 'libqt6core6(t64)?' 'libdw1(t64)?' zlib1g qt6-qpa-plugins fonts-liberation2; do
    grep -qE "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
[[ $(dpkg-deb -f "$deb" Package) == mirl ]] || fail "package name"
[[ $(dpkg-deb -f "$deb" Version) =~ ^[0-9]+\.[0-9]+ ]] || fail "version"

dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/io.github.mirl.Mirl.desktop" ||
    fail "desktop entry does not validate"
# The project has no homepage yet; AppStream 1.0 warns about that (older ones know no such tag), and
# nothing else is let pass.
metainfo=$work/root/usr/share/metainfo/io.github.mirl.Mirl.metainfo.xml
appstreamcli validate --no-net "$metainfo" ||
    appstreamcli validate --no-net --override=url-homepage-missing=info "$metainfo" ||
    fail "metainfo does not validate"
# The fault report needs the program's line table: the packed binary keeps it.
readelf -S "$work/root/usr/bin/mirl" | grep -q '\.debug_line' || fail "the binary lost its line table"
# Debian's own check: no error or warning, and an override only with the reason above it.
overrides=$work/root/usr/share/lintian/overrides/mirl
awk '/^[^#]/ && previous !~ /^#/ { bad = 1; print "override without a reason: " $0 } { previous = $0 } END { exit bad }' \
    "$overrides" || fail "lintian overrides need their reasons"
# Debian 13's lintian reports AppStream 1.0's missing-homepage warning as a failed validation; the
# appstreamcli check above lets that one warning pass and nothing else (older lintian knows no tag).
suppress=()
if lintian-explain-tags appstream-metadata-validation-failed >/dev/null 2>&1; then
    suppress=(--suppress-tags appstream-metadata-validation-failed)
fi
lintian --fail-on error,warning --tag-display-limit 0 "${suppress[@]}" "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian"; }
echo "package ok: $(basename "$deb"), Depends: $depends"
