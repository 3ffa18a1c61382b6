#!/usr/bin/env bash
# The shared library exports exactly its 18 functions, as C functions.
set -euo pipefail
export LC_ALL=C
library=$1
expected="GetGlobDummy
XRT_M_Change_Wait_Mode
XRT_M_Comm_CheckRecvQueue
XRT_M_Comm_Check_RLSD
XRT_M_Comm_CloseChannel
XRT_M_Comm_Delay
XRT_M_Comm_FlushBuffers
XRT_M_Comm_GetBreakEvent
XRT_M_Comm_OpenChannel
XRT_M_Comm_OpenChannel_0
XRT_M_Comm_RTS
XRT_M_Comm_ReadBlock
XRT_M_Comm_ReadBlock_EOB
XRT_M_Comm_ReadBlock_Length
XRT_M_Comm_ReadByte
XRT_M_Comm_SendBlock
XRT_M_Comm_SendBlock_0
XRT_M_Set_FlagConnect"
symbols=$(nm -D --defined-only "$library")
actual=$(awk '{print $NF}' <<<"$symbols" | sort)
if [ "$actual" != "$expected" ]; then
  echo "exports differ:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
# Each of them a function, in the text section.
functions=$(awk '$2 == "T" {print $NF}' <<<"$symbols" | sort)
if [ "$functions" != "$expected" ]; then
  echo "exports that are not functions:"
  diff <(echo "$expected") <(echo "$functions") || true
  exit 1
fi
echo "18 exports, all functions"
