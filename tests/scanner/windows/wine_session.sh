# Sourced by the Windows test scripts: a fresh Wine prefix with one persistent wineserver.
#
# wine_session_start DIR: makes DIR a fresh prefix (removing what was there), starts
#   initialises the prefix, starts `wineserver -p` and keeps one idle process running. Without a
#   user process Wine stops its system processes (services, explorer) after a few seconds,
#   and with a persistent server nothing restarts them: every CoInitialize then waits 10 s
#   for the RPC service. The idle process is cmd.exe reading a pipe held open here.
# wine_session_stop: ends the idle process and the wineserver (and with it the prefix's
#   processes).
wine_session_start() {
  export WINEPREFIX=$1
  export WINEDEBUG=${WINEDEBUG:--all}
  # No .NET runtime prompt. mshtml is left alone: disabling it breaks ShellExecuteW on .html.
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=}
  unset DISPLAY WAYLAND_DISPLAY
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  # Initialise first and let that server end: a persistent server started before the prefix
  # existed leaves the RPC service unable to start (every failing COM activation then waits
  # seconds for it).
  wineboot -i >/dev/null 2>&1
  wineserver -w
  wineserver -p
  mkfifo "$WINEPREFIX/idle-input"
  wine cmd.exe <"$WINEPREFIX/idle-input" >/dev/null 2>&1 &
  wine_session_idle=$!
  exec {wine_session_fd}>"$WINEPREFIX/idle-input"
}

wine_session_stop() {
  if [ -n "${wine_session_fd:-}" ]; then
    exec {wine_session_fd}>&-
    unset wine_session_fd
  fi
  wineserver -k 2>/dev/null || true
  if [ -n "${wine_session_idle:-}" ]; then
    wait "$wine_session_idle" 2>/dev/null || true
    unset wine_session_idle
  fi
}
