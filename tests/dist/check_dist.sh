#!/usr/bin/env bash
# The toolkit as its users take it (the dist tests):
#   install NATIVE_TREE PREFIX         cmake --install into a fresh PREFIX
#   example MODE PREFIX READERSIM WORK the README's example built against
#                                      PREFIX (MODE pkg-config or cmake) and
#                                      run against the simulator
#   packages NATIVE WIN64 WIN32 OUT    the .deb and the two zips, into OUT
#   deb OUT WORK                       the .deb unpacked: its files, its
#                                      dependencies, its programs run
#   zips OUT                           each zip's files and their PE imports
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
version=$(sed -n 's/^project(serchan_toolkit VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
fail() { echo "FAIL: $*" >&2; exit 1; }

cmd_install() {
  rm -rf "$2"
  cmake --install "$1" --prefix "$2" >/dev/null
}

cmd_example() {
  local mode=$1 prefix=$2 readersim=$3 work=$4
  rm -rf "$work" && mkdir -p "$work"
  case "$mode" in
    pkg-config)
      PKG_CONFIG_PATH="$prefix/lib/pkgconfig" cc -Wall -Werror "$root/examples/version_query.c" \
        $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs serchan32) \
        -Wl,-rpath,"$prefix/lib" -o "$work/version_query" ;;
    cmake)
      cmake -S "$here/consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" \
        -DEXAMPLE="$root/examples/version_query.c" >/dev/null
      cmake --build "$work/build" >/dev/null
      cp "$work/build/version_query" "$work/version_query" ;;
  esac
  "$readersim" --link "$work/reader" --version 2.07 >/dev/null 2>&1 </dev/null &
  simulator=$!
  trap 'kill $simulator 2>/dev/null || true' EXIT
  for _ in $(seq 50); do [ -e "$work/reader" ] && break; sleep 0.1; done
  local out
  out=$(SERCHAN32_COM7="$work/reader" "$work/version_query" 7 115200)
  [ "$out" = "reader firmware 2.07" ] || fail "example ($mode) said: $out"
  echo "example ($mode): $out"
}

cmd_packages() {
  local out=$4
  rm -rf "$out" && mkdir -p "$out" && out=$(cd "$out" && pwd)
  local tree
  for tree in "$1" "$2" "$3"; do
    [ -f "$tree/CPackConfig.cmake" ] || fail "$tree is not built (./run build)"
    tree=$(cd "$tree" && pwd)
    rm -rf "$tree/cpack"
    (cd "$tree" && cpack --config CPackConfig.cmake -B "$tree/cpack" >/dev/null)
    find "$tree/cpack" -maxdepth 1 \( -name '*.deb' -o -name '*.zip' \) -exec cp {} "$out"/ \;
  done
  ls "$out"
}

# The package's removal in a mount namespace of its own, over a scratch
# /etc/reader.conf.d: the template goes, an active entry of another file is
# hidden from pcscd (renamed, not lost), other files stay.
check_postrm() {
  local postrm=$1 unshare=(unshare -m) left
  [ "$(id -u)" = 0 ] || unshare=(unshare -r -m)
  left=$("${unshare[@]}" sh -c '
    mount -t tmpfs t /etc/reader.conf.d &&
    echo "#LIBPATH /usr/lib/pcsc/drivers/serial/libifd-serchan.so" >/etc/reader.conf.d/serchan-reader.conf &&
    printf "FRIENDLYNAME R\nDEVICENAME /dev/ttyS0:9600\nLIBPATH /usr/lib/pcsc/drivers/serial/libifd-serchan.so\n" \
      >/etc/reader.conf.d/bench &&
    echo "LIBPATH /usr/lib/pcsc/drivers/ifd-other.so" >/etc/reader.conf.d/other &&
    sh "$0" remove && ls -A /etc/reader.conf.d | tr "\n" " "' "$postrm")
  [ "$left" = ".bench.serchan-removed other " ] || fail "after postrm remove, /etc/reader.conf.d holds: $left"
}

cmd_deb() {
  local out=$1 work=$2 deb
  deb=$(ls "$out"/serchan-toolkit_"$version"_*.deb) || fail "no .deb in $out"
  rm -rf "$work" && mkdir -p "$work"
  dpkg-deb -x "$deb" "$work/root"
  local f
  for f in usr/bin/readertest usr/bin/readerscript usr/bin/readersim usr/bin/serchan-ports \
           usr/include/serchan32.h usr/lib/libserchan32.so.1 usr/lib/libdump.so.1 \
           usr/lib/pkgconfig/serchan32.pc \
           usr/lib/cmake/serchan32/serchan32Config.cmake usr/share/man/man1/readerscript.1 \
           usr/share/doc/serchan-toolkit/README.md usr/lib/pcsc/drivers/serial/libifd-serchan.so \
           etc/reader.conf.d/serchan-reader.conf; do
    [ -e "$work/root/$f" ] || fail "the .deb has no /$f"
  done
  # The reader.conf template is the package's conffile and all commented out.
  grep -Eqv '^[[:space:]]*(#|$)' "$work/root/etc/reader.conf.d/serchan-reader.conf" &&
    fail "the reader.conf template has a line that is not a comment"
  dpkg-deb -e "$deb" "$work/control"
  [ "$(cat "$work/control/conffiles")" = /etc/reader.conf.d/serchan-reader.conf ] ||
    fail "conffiles: $(cat "$work/control/conffiles")"
  [ "$(dpkg-deb -f "$deb" Recommends)" = pcscd ] || fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
  check_postrm "$work/control/postrm"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for f in libc6 libstdc++6 libedit2; do
    grep -q "$f" <<<"$depends" || fail "Depends lacks $f: $depends"
  done
  [ "$(readelf -d "$work/root/usr/lib/libserchan32.so.1" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')" = \
    libserchan32.so.1 ] || fail "libserchan32's SONAME"
  # Whole outputs first: under pipefail a reader that stops early (head,
  # grep -q) would fail the check by the writer's SIGPIPE.
  local said
  said=$("$work/root/usr/bin/readerscript" --version)
  [ "$said" = "readerscript $version" ] || fail "readerscript --version from the package: $said"
  said=$("$work/root/usr/bin/readersim" --help)
  [ "${said%%$'\n'*}" = "readersim $version" ] || fail "readersim --help from the package"
  echo "$(basename "$deb"): Depends: $depends"
}

cmd_zips() {
  local out=$1 zip bits
  source "$root/tests/support/pe_files.sh"
  for bits in 64 32; do
    zip="$out/serchan32-$version-win$bits.zip"
    [ -f "$zip" ] || fail "no $zip"
    local listed expected
    listed=$(python3 -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")
    expected=$(printf '%s\n' README-windows.txt dump.dll libserchan32.dll.a readerscript.exe \
      readertest.exe serchan-ports.exe serchan32.def serchan32.dll serchan32.h | sort)
    [ "$listed" = "$expected" ] || fail "$(basename "$zip") holds: $(echo $listed)"
    rm -rf "$out/win$bits" && mkdir -p "$out/win$bits"
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$out/win$bits"
    local file dll
    for file in "$out/win$bits"/*.exe "$out/win$bits"/*.dll; do
      case "$(pe_format "$file")" in
        pei-x86-64) [ "$bits" = 64 ] || fail "$file is 64-bit in the 32-bit zip" ;;
        pei-i386) [ "$bits" = 32 ] || fail "$file is 32-bit in the 64-bit zip" ;;
      esac
      for dll in $(pe_dump "$file" | sed -n 's/.*DLL Name: //p'); do
        case "$(tr 'A-Z' 'a-z' <<<"$dll")" in serchan32.dll | dump.dll) continue ;; esac
        pe_system_dll "$dll" || fail "$(basename "$file") imports $dll"
      done
    done
    # The library's file version resource carries the toolkit's version.
    python3 - "$out/win$bits/serchan32.dll" "$version" <<'PY' || fail "serchan32.dll (win$bits) has no FileVersion $version"
import sys
data = open(sys.argv[1], "rb").read()
sys.exit(0 if ("FileVersion\0\0" + sys.argv[2]).encode("utf-16-le") in data else 1)
PY
    echo "$(basename "$zip"): $(echo $listed)"
  done
}

"cmd_$1" "${@:2}"
