#!/usr/bin/env bash
# The DLL exports exactly its 18 functions, each at its fixed ordinal.
set -euo pipefail
export LC_ALL=C
dll=$1
expected="1 GetGlobDummy
2 XRT_M_Change_Wait_Mode
3 XRT_M_Comm_Check_RLSD
4 XRT_M_Comm_CloseChannel
5 XRT_M_Comm_Delay
6 XRT_M_Comm_FlushBuffers
7 XRT_M_Comm_OpenChannel
8 XRT_M_Comm_OpenChannel_0
9 XRT_M_Comm_RTS
10 XRT_M_Comm_ReadBlock_EOB
11 XRT_M_Comm_ReadBlock_Length
12 XRT_M_Comm_SendBlock
13 XRT_M_Set_FlagConnect
14 XRT_M_Comm_ReadBlock
15 XRT_M_Comm_SendBlock_0
16 XRT_M_Comm_CheckRecvQueue
17 XRT_M_Comm_ReadByte
18 XRT_M_Comm_GetBreakEvent"
dump=$(i686-w64-mingw32-objdump -p "$dll")
base=$(sed -n 's/^Ordinal Base[[:space:]]*//p' <<<"$dump")
actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\] \(.*\)$/\1 \2/p' |
  while read -r index name; do echo "$((index + base)) $name"; done | sort -n)
if [ "$actual" != "$expected" ]; then
  echo "exports differ:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
if [ "$imports" != "KERNEL32.DLL MSVCRT.DLL USER32.DLL " ]; then
  echo "unexpected imports: $imports"
  exit 1
fi
echo "18 exports at their ordinals; imports: $imports"
