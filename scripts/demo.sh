#!/usr/bin/env bash
# The main job: builds dist/xmp_plovane.dll and the stand-in player, then runs
# the player's scripted demo under Wine on a virtual display, printing what
# the player did for each key press. Installs what it needs first.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_windows_tools
windows_build
echo "== built $ROOT/dist/xmp_plovane.dll ($(stat -c %s "$ROOT/dist/xmp_plovane.dll") bytes) and stand_in_player.exe"
run_build
player="$RUN_DIR/stand_in_player/stand_in_player.exe"
dll="$RUN_DIR/xmp_plovane/xmp_plovane.dll"
if [ "$WINE_BITS" = 64 ]; then
    echo "== this machine runs no 32-bit programs: the demo runs the 64-bit build of the same sources"
fi
wine_start
echo "== the stand-in player, scripted key presses"
timeout 120 "$(wine_loader)" "$player" --scripted "$(windows_path "$dll")" </dev/null
