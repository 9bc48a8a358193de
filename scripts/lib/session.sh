# Shared by scripts/test and scripts/demo: start Xvfb and a persistent wineserver for one prefix,
# and stop exactly what was started, also on failure. Source it, then call tl_cleanup from a trap.

TL_XVFB_PID=""
TL_WINE_STARTED=""

# tl_start_xvfb: a private X display for windows under Wine; exports DISPLAY.
tl_start_xvfb() {
  local n
  for n in $(seq 91 140); do
    if [ ! -e "/tmp/.X${n}-lock" ] && [ ! -e "/tmp/.X11-unix/X${n}" ]; then
      Xvfb ":${n}" -screen 0 2560x1440x24 -nolisten tcp >/dev/null 2>&1 &
      TL_XVFB_PID=$!
      local i
      for i in $(seq 1 50); do
        [ -e "/tmp/.X11-unix/X${n}" ] && break
        sleep 0.1
      done
      export DISPLAY=":${n}"
      return 0
    fi
  done
  echo "no free X display" >&2
  return 1
}

# tl_start_wine PREFIX: prepares the prefix on first use and keeps one wineserver alive.
tl_start_wine() {
  export WINEPREFIX="$1"
  export WINEDEBUG="${WINEDEBUG:--all}"
  # No Mono or Gecko installer dialogs in a fresh prefix.
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: preparing a new prefix at $WINEPREFIX (first start takes about 10 s) ..."
    wineboot -i >/dev/null 2>&1 </dev/null || true
  fi
  wineserver -p >/dev/null 2>&1
  TL_WINE_STARTED=1
  # Start Wine's own services now, detached from our output: started later by a test, they would
  # inherit CTest's pipe and hold it open.
  wineboot >/dev/null 2>&1 </dev/null || true
}

tl_cleanup() {
  if [ -n "$TL_WINE_STARTED" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    TL_WINE_STARTED=""
  fi
  if [ -n "$TL_XVFB_PID" ]; then
    kill "$TL_XVFB_PID" >/dev/null 2>&1 || true
    wait "$TL_XVFB_PID" 2>/dev/null || true
    TL_XVFB_PID=""
  fi
}
