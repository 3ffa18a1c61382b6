# The project's Wine: a prefix of its own under build/ for each Windows tree,
# quiet, and for the programs it runs (tools/wine-run) the Russian locale,
# whose code pages 1251 and 866 are the programs' own, and the test bed's
# modem-line library. Sourced by ./run and tools/wine-run, with wine_tree set
# to win64 (the default: 64-bit Wine, build/wine64) or win32 (32-bit Wine,
# build/wine32, only where the machine runs 32-bit code).
#
# Wine is started through its loaders directly: Debian's /usr/bin/wine and
# wineboot wrappers pick the 32-bit loader whenever it is installed, and a
# machine that cannot run 32-bit code fails there.
: "${root:?}"
wine_tree=${wine_tree:-win64}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export MODEMLINES_DIR="$root/build/bed"
case "$wine_tree" in
  win64)
    export WINEPREFIX="$root/build/wine64" WINEARCH=win64
    export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
    wine_preload="$root/build/native/preload/lib/x86_64-linux-gnu/libmodemlines.so"
    ;;
  win32)
    export WINEPREFIX="$root/build/wine32" WINEARCH=win32
    export WINELOADER=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver64
    [ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver32
    # Given to the Wine processes only; $LIB picks the build of their word size.
    wine_preload="$root/build/native/preload/\$LIB/libmodemlines.so"
    ;;
  *) echo "wine-env.sh: unknown Windows tree '$wine_tree' (win64 or win32)" >&2; return 2 ;;
esac
wine() { "$WINELOADER" "$@"; }
wineserver() { "$WINESERVER" "$@"; }

# COM numbers whose devices the test bed lays under build/bed.
bed_ports="20 21 22 23 24 25 26 27 28 29"
# COM numbers for reader simulators, each linked at build/bed/simN by the test
# that starts it; and the demo's, COM1 at build/bed/demo. (Not named comN:
# their lines are the preload's defaults, DSR, CTS and carrier on.)
sim_ports="30 31 32 33 34 35 36 37 50 51 52 53 54 55 56"
# COM numbers for the reliability tests' own pseudo-terminals, each linked at
# build/bed/relN by the test that makes it (lines on, as for the simulators).
rel_ports="60 61 62 63 64 65 66 67"
demo_port=1
demo_link="$MODEMLINES_DIR/demo"

# Creates the prefix once, maps the test bed's COM ports into it, and starts
# the server with Wine's services before a program whose pipes are watched
# runs: services started by that program would inherit its pipes.
wine_prepare() {
  mkdir -p "$MODEMLINES_DIR"
  local marker="$WINEPREFIX/.serchan-prepared-9"
  if [ ! -f "$marker" ]; then
    wine wineboot -i >/dev/null 2>&1 </dev/null || true
    local n ports=""
    for n in $bed_ports; do ports="$ports COM$n=$MODEMLINES_DIR/com$n"; done
    for n in $sim_ports; do ports="$ports COM$n=$MODEMLINES_DIR/sim$n"; done
    for n in $rel_ports; do ports="$ports COM$n=$MODEMLINES_DIR/rel$n"; done
    ports="$ports COM$demo_port=$demo_link"
    local port
    for port in $ports; do
      wine reg add 'HKLM\Software\Wine\Ports' /v "${port%%=*}" /t REG_SZ /d "${port#*=}" /f \
        >/dev/null 2>&1 </dev/null
    done
    # A crashing program ends at once instead of waiting in the debugger.
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
      /t REG_SZ /d '' /f >/dev/null 2>&1 </dev/null
    wineserver -k || true
    touch "$marker"
  fi
  # The server may take a bed terminal as its controlling one: keep its
  # standard handles off every terminal and pipe. A throwaway program starts
  # Wine's services (if they are not up) with null standard handles.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# Maps one COM number to a device path in the prefix.
wine_map_com() {
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1 </dev/null
  wineserver -k || true
}
