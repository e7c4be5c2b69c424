# Wine's environment in the i386 system, sourced by session.sh and by the
# system's first run (which makes the prefix): 32-bit, quiet, no Mono or
# Gecko installer prompts, the prefix in memory.
export WINEPREFIX=/tmp/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME=/tmp/home
mkdir -p "$HOME"
