#!/bin/sh
# Runs a Windows test program under Wine inside a virtual desktop of its own.
# Wine picks the desktop per program from the registry (AppDefaults), so the
# program is started by plain `wine` and its output and exit status reach the
# caller unchanged; `wine explorer /desktop=...` would swallow both. The keys are
# written once per Wine prefix.
exe=$1
name=$(basename "$exe")
prefix=${WINEPREFIX:-$HOME/.wine}
marker="$prefix/.kivro-desktop-$name"
if [ ! -f "$marker" ]; then
    wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$name\\Explorer" /v Desktop /d KivroTests /f >/dev/null 2>&1 &&
        wine reg add "HKCU\\Software\\Wine\\Explorer\\Desktops" /v KivroTests /d 800x600 /f >/dev/null 2>&1 &&
        touch "$marker"
fi
exec wine "$@"
