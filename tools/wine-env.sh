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

# The demo's COM number, from the test bed's table of ports.
demo_port=$(sed -n 's/^demo=//p' "$root/tools/bed-ports")
demo_link="$MODEMLINES_DIR/demo"

# Creates the prefix once, maps the test bed's COM ports into it, and starts
# the server with Wine's services before a program whose pipes are watched
# runs: services started by that program would inherit its pipes.
wine_prepare() {
  mkdir -p "$MODEMLINES_DIR"
  # A prefix is made again when the table of ports changes.
  local marker
  marker="$WINEPREFIX/.serchan-prepared-10-$(cksum <"$root/tools/bed-ports" | cut -d' ' -f1)"
  if [ ! -f "$marker" ]; then
    wine wineboot -i >/dev/null 2>&1 </dev/null || true
    # Each row's ports at their files: bed_ at comN, sim_ at simN, rel_ at relN.
    local name numbers n ports="COM$demo_port=$demo_link"
    while IFS='=' read -r name numbers; do
      case "$name" in
        bed_*) for n in $numbers; do ports="$ports COM$n=$MODEMLINES_DIR/com$n"; done ;;
        sim_*) for n in $numbers; do ports="$ports COM$n=$MODEMLINES_DIR/sim$n"; done ;;
        rel_*) for n in $numbers; do ports="$ports COM$n=$MODEMLINES_DIR/rel$n"; done ;;
      esac
    done <"$root/tools/bed-ports"
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
