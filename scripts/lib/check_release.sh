#!/usr/bin/env bash
# The release as a user gets it: the zip holds exactly its five files, their
# sums check, and a second build of the same sources in another folder gives
# the same DLL, player and zip, byte for byte.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

version=$(project_version)
zip="$ROOT/dist/plovane-$version-win32.zip"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
listed=$(unzip -Z1 "$zip" | sort | paste -sd' ')
if [ "$listed" != "LICENSE README.txt SHA256SUMS stand_in_player.exe xmp_plovane.dll" ]; then
    echo "release: the zip holds: $listed" >&2
    exit 1
fi
unzip -q -d "$scratch/unpacked" "$zip"
(cd "$scratch/unpacked" && sha256sum -c --quiet SHA256SUMS)
mkdir -p "$scratch/second/plovane"
(cd "$ROOT" && tar --exclude=./build --exclude=./dist -cf - .) | tar -xf - -C "$scratch/second/plovane"
bash "$scratch/second/plovane/scripts/release.sh" >/dev/null
for name in xmp_plovane.dll stand_in_player.exe "plovane-$version-win32.zip"; do
    if ! cmp -s "$ROOT/dist/$name" "$scratch/second/plovane/dist/$name"; then
        echo "release: $name differs between two builds of one commit" >&2
        exit 1
    fi
    echo "   identical: $(cd "$ROOT/dist" && sha256sum "$name")"
done
