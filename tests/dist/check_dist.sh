#!/usr/bin/env bash
# The toolkit as its users take it (the dist tests):
#   install NATIVE_TREE PREFIX         cmake --install into a fresh PREFIX
#   example MODE PREFIX READERSIM WORK the README's example built against
#                                      PREFIX (MODE pkg-config or cmake) and
#                                      run against the simulator
#   packages NATIVE WIN64 WIN32 OUT    the .debs and the two zips, into OUT
#   deb OUT WORK                       the .debs checked by lintian and
#                                      unpacked into one root: each one's
#                                      files and dependencies, the programs
#                                      run, the example built against them
#   zips OUT                           each zip's files and their PE imports
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
version=$(sed -n 's/^project(serchan_toolkit VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
fail() { echo "FAIL: $*" >&2; exit 1; }
# The libraries' folder under a prefix: lib/<multiarch triplet>, as Debian has it.
libdir=lib/$(cc -print-multiarch)

cmd_install() {
  rm -rf "$2"
  cmake --install "$1" --prefix "$2" >/dev/null
}

cmd_example() {
  local mode=$1 prefix=$2 readersim=$3 work=$4
  rm -rf "$work" && mkdir -p "$work"
  case "$mode" in
    pkg-config)
      cc -Wall -Werror "$root/examples/version_query.c" \
        $(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs serchan32) \
        -Wl,-rpath,"$prefix/$libdir" -o "$work/version_query" ;;
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
  local out=$4 said
  rm -rf "$out" && mkdir -p "$out" && out=$(cd "$out" && pwd)
  local tree
  for tree in "$1" "$2" "$3"; do
    [ -f "$tree/CPackConfig.cmake" ] || fail "$tree is not built (./run build)"
    tree=$(cd "$tree" && pwd)
    rm -rf "$tree/cpack"
    # CPack's output only when it fails: its warnings about shared objects
    # without a SONAME (the driver, the debug files) are expected.
    said=$(cd "$tree" && cpack --config CPackConfig.cmake -B "$tree/cpack" 2>&1) ||
      fail "cpack in $tree: $said"
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

# Lintian on every package: an error fails, and so does a warning whose tag
# is not in lintian-allowed (each there with its reason).
check_lintian() {
  local said allowed left
  said=$(lintian --allow-root --no-cfg --fail-on none "$@" 2>&1) || fail "lintian did not run: $said"
  allowed=$(sed -n 's/^\([a-z0-9][a-z0-9-]*\) .*/\1/p' "$here/lintian-allowed" | paste -sd'|')
  left=$(grep -E '^[EW]: ' <<<"$said" | grep -Ev "^W: [^ ]+: (${allowed:-none})( |$)" || true)
  [ -z "$left" ] || fail "lintian: $left"
  grep -E '^W: ' <<<"$said" || true
}

# PACKAGE FILE...: each FILE (under /) is in PACKAGE.
check_files() {
  local package=$1 listing f
  listing=$(dpkg-deb -c "$(package_file "$package")" | sed 's/.* \.\///; s/ -> .*//')
  for f in "${@:2}"; do
    grep -qxF "$f" <<<"$listing" || fail "$package has no /$f"
  done
}
package_file() { ls "$out"/"$1"_"$version"_*.deb; }
# PACKAGE DEPENDENCY...: PACKAGE's Depends names each DEPENDENCY.
check_depends() {
  local depends d
  depends=$(dpkg-deb -f "$(package_file "$1")" Depends)
  for d in "${@:2}"; do
    grep -qF "$d" <<<"$depends" || fail "$1 Depends lacks $d: $depends"
  done
  echo "$1: Depends: $depends"
}

cmd_deb() {
  out=$1
  local work=$2 major=${version%%.*} package
  local lib=libserchan32-$major dump=libdump$major dev=libserchan32-dev
  local tools=serchan-tools pcsc=libifd-serchan
  rm -rf "$work" && mkdir -p "$work/control"
  for package in $lib $dump $dev $tools $pcsc; do
    package_file "$package" >/dev/null || fail "no $package .deb in $out"
    dpkg-deb -x "$(package_file "$package")" "$work/root"
    dpkg-deb -e "$(package_file "$package")" "$work/control/$package"
  done
  for package in $lib $dump $tools $pcsc; do
    dpkg-deb -x "$(package_file "$package-dbgsym")" "$work/dbgsym" || fail "no $package-dbgsym"
  done
  check_lintian "$out"/*.deb

  check_files $lib "usr/$libdir/libserchan32.so.1"
  check_files $dump "usr/$libdir/libdump.so.1"
  check_files $dev usr/include/serchan32.h "usr/$libdir/libserchan32.so" \
    "usr/$libdir/pkgconfig/serchan32.pc" "usr/$libdir/cmake/serchan32/serchan32Config.cmake"
  check_files $tools usr/bin/readertest usr/bin/readerscript usr/bin/readersim \
    usr/bin/serchan-ports usr/share/man/man1/readerscript.1.gz usr/share/doc/$tools/README.md
  check_files $pcsc usr/lib/pcsc/drivers/serial/libifd-serchan.so \
    etc/reader.conf.d/serchan-reader.conf

  # Each library: its SONAME, shlibs, ldconfig trigger, and a symbols file
  # that lists exactly what it exports.
  local so name
  for so in "$lib:libserchan32.so.1" "$dump:libdump.so.1"; do
    package=${so%%:*} name=${so#*:}
    [ "$(readelf -d "$work/root/usr/$libdir/$name" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')" = "$name" ] ||
      fail "$name's SONAME"
    [ "$(cat "$work/control/$package/shlibs")" = "${name%.so.*} $major $package (>= $version)" ] ||
      fail "$package shlibs: $(cat "$work/control/$package/shlibs")"
    [ "$(cat "$work/control/$package/triggers")" = "activate-noawait ldconfig" ] ||
      fail "$package has no ldconfig trigger"
    diff <(nm -D --defined-only "$work/root/usr/$libdir/$name" | awk '{ print $3 }' | sort) \
      <(sed -n 's/^ \([^@]*\)@.*/\1/p' "$work/control/$package/symbols" | sort) >&2 ||
      fail "$package's symbols file is not what $name exports"
  done
  # Each program and library (stripped: lintian sees to that) has its debug
  # information in a -dbgsym package, found by its build ID.
  local elf id said
  for elf in $(find "$work/root" -type f \( -path '*/bin/*' -o -name '*.so*' \)); do
    id=$(readelf -n "$elf" | sed -n 's/.*Build ID: //p')
    said=$(readelf -S "$work/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" 2>&1 || true)
    [[ "$said" == *.debug_info* ]] || fail "no debug information for $elf"
  done

  # The reader.conf template is the driver's conffile and all commented out.
  grep -Eqv '^[[:space:]]*(#|$)' "$work/root/etc/reader.conf.d/serchan-reader.conf" &&
    fail "the reader.conf template has a line that is not a comment"
  [ "$(cat "$work/control/$pcsc/conffiles")" = /etc/reader.conf.d/serchan-reader.conf ] ||
    fail "conffiles: $(cat "$work/control/$pcsc/conffiles")"
  [ "$(dpkg-deb -f "$(package_file $pcsc)" Recommends)" = pcscd ] ||
    fail "Recommends: $(dpkg-deb -f "$(package_file $pcsc)" Recommends)"
  check_postrm "$work/control/$pcsc/postrm"

  # Depends: what each links, and the packages of the toolkit it needs.
  check_depends $lib libc6 libstdc++6
  check_depends $dump libc6 libedit2
  check_depends $dev "$lib (= $version)"
  check_depends $tools libc6 libstdc++6 "$lib (>= $version)" "$dump (>= $version)"
  check_depends $pcsc libc6 "$lib (>= $version)"

  # The programs from the packages, and the example built against them.
  export LD_LIBRARY_PATH=$work/root/usr/$libdir
  # Whole outputs first: under pipefail a reader that stops early (head,
  # grep -q) would fail the check by the writer's SIGPIPE.
  said=$("$work/root/usr/bin/readerscript" --version)
  [ "$said" = "readerscript $version" ] || fail "readerscript --version from the package: $said"
  said=$("$work/root/usr/bin/readersim" --help)
  [ "${said%%$'\n'*}" = "readersim $version" ] || fail "readersim --help from the package"
  local mode
  for mode in pkg-config cmake; do
    (cmd_example $mode "$work/root/usr" "$work/root/usr/bin/readersim" "$work/example-$mode")
  done
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
