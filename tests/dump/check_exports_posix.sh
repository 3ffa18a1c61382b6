#!/usr/bin/env bash
# libdump.so exports exactly the 15 functions of dump.h, as C functions, and
# carries none of the Win32-subset platform layer: it needs the system's
# libraries only.
set -euo pipefail
export LC_ALL=C
library=$1
expected="ConBanner
ConEchoInput
ConFlushKeys
ConGetKey
ConGetSize
ConHexDump
ConKeyPressed
ConOpen
ConPrint
ConReadHex
ConReadLine
ConResetColor
ConSetColor
ConStatus
ConWrite"
symbols=$(nm -D --defined-only "$library")
actual=$(awk '{print $NF}' <<<"$symbols" | sort)
if [ "$actual" != "$expected" ]; then
  echo "exports differ:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
functions=$(awk '$2 == "T" {print $NF}' <<<"$symbols" | sort)
if [ "$functions" != "$expected" ]; then
  echo "exports that are not functions:"
  diff <(echo "$expected") <(echo "$functions") || true
  exit 1
fi
# The platform layer's calls, had it been linked in, would be in the symbol
# table (local ones too) or wanted from elsewhere.
platform_calls=' (CreateEventA|WaitForSingleObject|ExitProcess|EnterCriticalSection)$'
if { nm -a "$library" 2>/dev/null || true; nm -D "$library"; } | grep -Eq "$platform_calls"; then
  echo "holds the Win32-subset platform layer"
  exit 1
fi
needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
for name in $needed; do
  case "$name" in
    libc.so.* | libm.so.* | libstdc++.so.* | libgcc_s.so.* | libasan.so.* | libubsan.so.*) ;;
    *) echo "needs a library that is not the system's: $name"; exit 1 ;;
  esac
done
echo "15 exports, all functions; needs:" $needed
