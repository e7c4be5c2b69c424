#!/usr/bin/env bash
# The main job: builds dist/xmp_plovane.dll and the stand-in player, then runs
# the player's scripted demo with that DLL under 32-bit Wine on a virtual
# display in the i386 system (natively, or in the emulated 32-bit PC where
# this machine cannot), printing what the player did for each key press.
# Installs what it needs first.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
supervise "$@"
source "$ROOT/scripts/lib/run32.sh"

ensure_cross_tools
run32_ensure
windows_build
echo "== built dist/xmp_plovane.dll ($(stat -c %s "$ROOT/dist/xmp_plovane.dll") bytes) and stand_in_player.exe"
job=$(new_job demo)
cp "$ROOT/dist/stand_in_player.exe" "$ROOT/dist/xmp_plovane.dll" "$job/"
echo "== the stand-in player with dist/xmp_plovane.dll, scripted key presses"
run32_job "$job" 300 wine stand_in_player.exe --scripted xmp_plovane.dll
say_where_the_dll_ran
