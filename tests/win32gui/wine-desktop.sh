#!/bin/sh
# Runs a Windows test program under Wine inside a virtual desktop of its own.
# Wine picks the desktop per program from the registry (AppDefaults), so the
# program is started by plain `wine` and its output and exit status reach the
# caller unchanged; `wine explorer /desktop=...` would swallow both. The keys are
# written once per Wine prefix and desktop size. The desktop holds the main window
# at 200 % (960 by 560 pixels): Wine keeps a window within its desktop.
exe=$1
name=$(basename "$exe")
prefix=${WINEPREFIX:-$HOME/.wine}
size=1280x1024
marker="$prefix/.kivro-desktop-$name-$size"
if [ ! -f "$marker" ]; then
    wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$name\\Explorer" /v Desktop /d KivroTests /f >/dev/null 2>&1 &&
        wine reg add "HKCU\\Software\\Wine\\Explorer\\Desktops" /v KivroTests /d $size /f >/dev/null 2>&1 &&
        touch "$marker"
fi
exec wine "$@"
