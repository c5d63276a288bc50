# Sourced by the scripts: a private 64-bit Wine prefix and one persistent wineserver.
#   wine_prefix_start DIR   create DIR as a fresh prefix, keep its wineserver up
#   wine_prefix_stop        end that wineserver (only ours, by its prefix)
wine_prefix_start() {
  export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG=-all
  # A server still running on an earlier prefix of that name would outlive it.
  if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; fi
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  # No Mono or Gecko: nothing here needs them, and their installers would ask for a display.
  WINEDLLOVERRIDES="mscoree=;mshtml=" wine wineboot --init >/dev/null 2>&1
  wineserver -w
  wineserver -p
  # The first program of a session starts Wine's background services, which
  # keep its standard handles open: start them here, away from CTest's pipes.
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

wine_prefix_stop() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
  fi
}
