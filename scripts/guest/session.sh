# In the i386 system, whichever way it was entered: Wine's environment, the
# Wine prefix restored into memory, a virtual display and a persistent Wine
# server (each Wine process then starts in a fraction of a second), then
# the job: session.sh COMMAND [ARGS...], run in /job. Everything it starts
# ends with it.
# shellcheck source=scripts/guest/wine_env.sh
source /plovane/guest/wine_env.sh
export DISPLAY=:1
tar -C /tmp -xf /plovane/prefix.tar || exit 1
Xvfb :1 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 1 100); do [ -e /tmp/.X11-unix/X1 ] && break; sleep 0.1; done
wineserver -p
wine wineboot >/dev/null 2>&1
cd /job || exit 1
if [ -n "${PLOVANE_INTERACTIVE:-}" ]; then
    "$@"
    status=$?
else
    # Through a pipe: on a terminal Wine's console draws with escape
    # sequences, and writes CRLF line ends. The pipe ends only once every
    # writer has gone, and a Wine process the job started (a server it
    # restarted, the services a first `wine` brings up) would hold it for
    # ever: the job's side of the pipe ends them all before it closes.
    set -o pipefail
    { "$@"; code=$?; wineserver -k 2>/dev/null; exit "$code"; } 2>&1 | stdbuf -oL tr -d '\r'
    status=$?
fi
wineserver -k 2>/dev/null
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit "$status"
