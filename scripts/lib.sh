# Shared by the scripts: installs the Debian packages the project needs when any
# is missing (apt-get, through sudo when not root).
kivro_ensure_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    # A dpkg run cut short earlier (a machine image taken mid-install, a killed
    # job) leaves packages half-configured, and apt then refuses to install
    # anything until it is finished.
    if [ -n "$(ls -A /var/lib/dpkg/updates 2>/dev/null)" ] || [ -n "$(dpkg --audit 2>/dev/null)" ]; then
        echo "Finishing an interrupted dpkg run" >&2
        DEBIAN_FRONTEND=noninteractive $sudo dpkg --configure -a >&2 || return 1
    fi
    $sudo apt-get update -qq >&2 || return 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# What building and running natively needs.
KIVRO_BUILD_PACKAGES=(cmake ninja-build g++ make libgtest-dev)
# What the full test run needs on top: the Windows cross build, Wine, a display,
# and the real peers of the end-to-end tests.
KIVRO_TEST_PACKAGES=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
    binutils-mingw-w64-i686 wine wine64 xvfb xauth socat vncsnapshot tigervnc-standalone-server
    procps libjpeg-dev valgrind
    nsis p7zip-full unzip file man-db dpkg-dev lintian)  # the packages and their checks
# What the fuzz preset needs: clang and libFuzzer with its sanitizer runtimes.
KIVRO_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)

# kivro_wine_env PREFIX [OVERRIDE]: the scripts' Wine environment: a private
# 64-bit prefix, no debug output, and no offer to install Mono or Gecko; an
# OVERRIDE ("name=d") is added to the DLL overrides.
kivro_wine_env() {
    export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=${2:+;$2}"
}

# Creates $WINEPREFIX when it is missing and waits out the wineserver that
# wineboot leaves: it has no persistence and ends once Wine's own services do,
# which can be just as the next program connects ("recvmsg: Connection reset by
# peer"), and while it lives, asking for a persistent one does nothing.
kivro_wine_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1 </dev/null
    timeout 180 wineserver -w
}

# Makes $WINEPREFIX ready for a run of many Wine programs: the prefix, then one
# wineserver kept 60 s past its last client.
kivro_wine_ready() {
    kivro_wine_prefix
    (wineserver -p 60; wine cmd /c ver) >/dev/null 2>&1 </dev/null
}

# kivro_demo_settings CONFIG PORT NO_BT [LINE...]: the settings file of a
# kivroproxy run against phone-sim, for XDG_CONFIG_HOME=CONFIG: PORT (the pty)
# as the USB port, no port discovery, and NO_BT, a path that does not exist, as
# the Bluetooth port, so a real phone's ports stay untouched. Each LINE is one
# more value line ("Name"=...).
kivro_demo_settings() {
    local config="$1" port="$2" no_bt="$3"
    shift 3
    mkdir -p "$config/kivroproxy"
    printf '%s\r\n' 'REGEDIT4' '' '[HKEY_CURRENT_USER\Software\Ostraven\KivroProxy]' \
        '"BTComAuto"=dword:00000000' "\"BTComPort\"=\"$no_bt\"" \
        '"USBComAuto"=dword:00000000' "\"USBComPort\"=\"$port\"" "$@" \
        >"$config/kivroproxy/settings.reg"
}
