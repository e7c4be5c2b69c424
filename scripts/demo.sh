#!/usr/bin/env bash
# The main job: builds dist/xmp_plovane.dll and the stand-in player, then runs
# the player's scripted demo with that DLL under 32-bit Wine on a virtual
# display (natively, or in the emulated 32-bit PC where this machine cannot),
# printing what the player did for each key press. Installs what it needs
# first.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_windows_tools
windows_build
echo "== built $ROOT/dist/xmp_plovane.dll ($(stat -c %s "$ROOT/dist/xmp_plovane.dll") bytes) and stand_in_player.exe"
if [ "$RUN32" = native ]; then
    wine_start
    echo "== the stand-in player with dist/xmp_plovane.dll, scripted key presses ($(wine --version), natively)"
    timeout 120 wine "$ROOT/dist/stand_in_player.exe" --scripted "$(windows_path "$ROOT/dist/xmp_plovane.dll")" </dev/null
else
    job="$ROOT/build/emulated-pc-job"
    rm -rf "$job"
    mkdir -p "$job"
    cp "$ROOT/dist/stand_in_player.exe" "$ROOT/dist/xmp_plovane.dll" "$job/"
    # Copied into memory first: Wine must not map the programs from 9p.
    cat >"$job/demo.sh" <<'GUEST'
mkdir -p /tmp/demo && cp /job/stand_in_player.exe /job/xmp_plovane.dll /tmp/demo/ && cd /tmp/demo || exit 1
echo "== the stand-in player with dist/xmp_plovane.dll, scripted key presses ($(wine --version), in the emulated PC)"
wine stand_in_player.exe --scripted xmp_plovane.dll </dev/null
GUEST
    epc_run "$job" 300 demo.sh
fi
say_where_the_dll_ran
