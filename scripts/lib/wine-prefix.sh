# Sourced by the scripts that run Windows programs under Wine.
# fresh_wine_prefix DIR: a fresh 64-bit prefix of our own in DIR (nothing from an earlier run
# or from the user's Wine is seen), served by one persistent wineserver so each program starts
# in a fraction of a second, and without a display: the programs' windows exist, nothing is
# drawn. Exports WINEPREFIX and the other Wine variables.
fresh_wine_prefix() {
  # Wine's menu builder is off: it would turn the shell links programs save into menu
  # entries in the home folder.
  # A Unix TMPDIR makes Wine's import of the host's root certificates fail in every process.
  unset TMPDIR
  export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
  wineserver --persistent
  wineboot --init >/dev/null 2>&1
  # Wine links the user's Desktop, Documents and the like to the home folder: make them the
  # prefix's own folders, so programs that write shell folders never touch the home folder.
  local folder
  for folder in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$folder" ]; then rm "$folder" && mkdir "$folder"; fi
  done
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
}
