# Sourced by the scripts that run Windows programs under Wine.
# fresh_wine_prefix DIR: a fresh 64-bit prefix of our own in DIR (nothing from an earlier run
# or from the user's Wine is seen), served by one persistent wineserver so each program starts
# in a fraction of a second, on a private virtual display (Xvfb) so the programs' windows are
# real. Exports WINEPREFIX, DISPLAY and the other Wine variables.
# end_wine_prefix: stops that prefix's wineserver and display; callers run it on exit.
fresh_wine_prefix() {
  # Wine's menu builder is off: it would turn the shell links programs save into menu
  # entries in the home folder.
  # A Unix TMPDIR makes Wine's import of the host's root certificates fail in every process.
  unset TMPDIR
  # Wine names files on this system in the locale's character set: without a UTF-8 one
  # (a bare environment has none) no non-ASCII name can be made.
  export LC_ALL=C.UTF-8
  export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
  # The display comes first: the desktop process picks its driver once, when the first
  # program starts, and Wine's display-less driver refuses every visible window.
  start_private_display
  wineserver --persistent
  wineboot --init >/dev/null 2>&1
  # Wine links the user's Desktop, Documents and the like to the home folder: make them the
  # prefix's own folders, so programs that write shell folders never touch the home folder.
  local folder
  for folder in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$folder" ]; then rm "$folder" && mkdir "$folder"; fi
  done
  # With a display, a crashing program would wait for someone to close Wine's crash dialog.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  # There is no window manager: a managed window's close would wait 2 s for one.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # Wine closes the desktop and its services a while after the last program has ended; a
  # program started later then waits about 20 s for COM. A window kept open for the whole run
  # (ended with the wineserver) keeps them up between tests.
  wine notepad >/dev/null 2>&1 &
}

end_wine_prefix() {
  wineserver --kill 2>/dev/null || true
  if [ -n "${wine_display_pid:-}" ]; then
    kill "$wine_display_pid" 2>/dev/null || true
    wait "$wine_display_pid" 2>/dev/null || true
    wine_display_pid=""
  fi
}

# An Xvfb of our own on a free display number (Xvfb picks it and writes it to the pipe), so
# no user's screen is used and no display has to exist.
start_private_display() {
  local pipe number=""
  pipe=$(mktemp -u /tmp/zuvelo-display.XXXXXX)
  mkfifo "$pipe"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$pipe" >/dev/null 2>&1 &
  wine_display_pid=$!
  read -r -t 30 number <"$pipe" || true
  rm -f "$pipe"
  if [ -z "$number" ]; then
    echo "Xvfb did not start: the Windows programs need a display for their windows" >&2
    return 1
  fi
  export DISPLAY=:$number
}
