# Sourced by the shape checks of the Windows trees. Each PE file is read with
# the objdump of its own word size: the x86_64 one reads both formats but
# prints import ordinals in hex where the i686 one prints them in decimal.

# pe_format FILE: pei-i386 or pei-x86-64.
pe_format() { x86_64-w64-mingw32-objdump -f "$1" | sed -n 's/.*file format //p'; }

# pe_dump FILE: the file's headers, tables and imports.
pe_dump() {
  case "$(pe_format "$1")" in
    pei-i386) i686-w64-mingw32-objdump -p "$1" ;;
    *) x86_64-w64-mingw32-objdump -p "$1" ;;
  esac
}

# pe_ordinal FORMAT NUMBER: an import ordinal as pe_dump printed it for a
# file of FORMAT, in decimal.
pe_ordinal() {
  case "$1" in
    pei-i386) echo "$((10#$2))" ;;
    *) echo "$((16#$2))" ;;
  esac
}

# The system's DLLs that our modules may import; nothing of the compilers'
# runtime (libstdc++, libgcc, winpthread) is ever a DLL of its own.
pe_system_dll() {
  case "$(tr 'a-z' 'A-Z' <<<"$1")" in
    KERNEL32.DLL | USER32.DLL | MSVCRT.DLL | ADVAPI32.DLL | SETUPAPI.DLL) return 0 ;;
    *) return 1 ;;
  esac
}
