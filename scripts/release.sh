#!/usr/bin/env bash
# Builds the release from scratch and writes dist/plovane-VERSION-win32.zip:
# xmp_plovane.dll, stand_in_player.exe, README.txt (for Windows users),
# LICENSE and SHA256SUMS. Two runs on one commit, in any two directories,
# give byte-identical files: the links carry no time stamp, the package's
# time stamps are the commit's, and its files go in a fixed order.
# Installs what it needs first.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages cmake ninja-build g++-mingw-w64-i686 zip

version=$(project_version)
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt" >&2; exit 1; }
# The commit's time, for every time stamp written (also read by the tools).
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH

dir="$ROOT/build/release"
rm -rf "$dir"
echo "== release $version: building xmp_plovane.dll and stand_in_player.exe"
windows_configure "$dir"
cmake --build "$dir" -j "$JOBS" --target xmp_plovane stand_in_player >/dev/null
echo "== checking the DLL's interface and size"
ctest --test-dir "$dir" -R dll_exports_and_imports --output-on-failure --no-tests=error >/dev/null

package="$dir/package"
mkdir -p "$package"
cp "$dir/xmp_plovane/xmp_plovane.dll" "$dir/stand_in_player/stand_in_player.exe" "$package/"
# Windows users read it in Notepad: CRLF line ends.
sed "s/@VERSION@/$version/" "$ROOT/packaging/README.txt.in" |
    awk 'NR == 2 { line = prev; gsub(/./, "=", line); print line; next } { prev = $0; print }' |
    sed 's/$/\r/' >"$package/README.txt"
sed 's/$/\r/' "$ROOT/LICENSE" >"$package/LICENSE"
files=(LICENSE README.txt stand_in_player.exe xmp_plovane.dll)
(cd "$package" && sha256sum "${files[@]}" >SHA256SUMS)
files+=(SHA256SUMS)
(cd "$package" && chmod 644 "${files[@]}" && TZ=UTC touch -d "@$SOURCE_DATE_EPOCH" "${files[@]}")

zip="plovane-$version-win32.zip"
mkdir -p "$ROOT/dist"
rm -f "$ROOT/dist/$zip"
(cd "$package" && TZ=UTC zip -X -D -q "$ROOT/dist/$zip" "${files[@]}")
cp "$package/xmp_plovane.dll" "$package/stand_in_player.exe" "$ROOT/dist/"
echo "== wrote dist/$zip:"
(cd "$package" && cat SHA256SUMS && sha256sum "$ROOT/dist/$zip" | sed "s|$ROOT/||")
