#!/usr/bin/env bash
# The main job: builds dist/xmp_plovane.dll and the stand-in player, then runs
# the player's scripted demo under Wine on a virtual display, printing what
# the player did for each key press. Installs what it needs first.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_windows_tools
windows_build
echo "== built $ROOT/dist/xmp_plovane.dll ($(stat -c %s "$ROOT/dist/xmp_plovane.dll") bytes) and stand_in_player.exe"
wine_start
echo "== the stand-in player, scripted key presses"
timeout 120 wine "$ROOT/dist/stand_in_player.exe" --scripted "$(winepath -w "$ROOT/dist/xmp_plovane.dll")" </dev/null
