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

# Makes $WINEPREFIX ready for a run of many Wine programs: created when missing,
# and one wineserver kept 60 s past its last client. The server wineboot leaves
# has no persistence and ends once Wine's own services do, which can be just as
# a test program connects ("recvmsg: Connection reset by peer"); and while it
# lives, asking for a persistent one does nothing. So it is waited out first.
kivro_wine_ready() {
    [ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1 </dev/null
    timeout 180 wineserver -w
    (wineserver -p 60; wine cmd /c ver) >/dev/null 2>&1 </dev/null
}
