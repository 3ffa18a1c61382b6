#!/usr/bin/env bash
# Runs a command with a COM port of its own on a pseudo-terminal pair:
#
#   on_bed_pair.sh PTYBED BEDDIR COM COMMAND [ARG ...]
#
# ptybed lays BEDDIR/comN, the port's side, and BEDDIR/farN, its far end. The
# command finds the port natively through SERCHAN32_COM<N>, under Wine as COMN
# (the project's prefix maps it to BEDDIR/relN, linked here), and the far end
# through MODEMLINES_DIR; LINE_LOSS_PORT names N. The pair goes when the
# command ends, with the command's exit status.
set -euo pipefail
ptybed=$1 dir=$2 com=$3
shift 3
mkdir -p "$dir"
coproc BED { exec "$ptybed" "$dir" "$com"; }
bed_pid=$BED_PID
trap 'rm -f "$dir/rel$com"; kill "$bed_pid" 2>/dev/null || true; wait "$bed_pid" 2>/dev/null || true' EXIT
read -r line <&"${BED[0]}" || true
if [ "${line:-}" != ready ]; then
  echo "on_bed_pair.sh: ptybed did not start" >&2
  exit 2
fi
ln -sfn "$dir/com$com" "$dir/rel$com"
status=0
env "SERCHAN32_COM$com=$dir/com$com" MODEMLINES_DIR="$dir" LINE_LOSS_PORT="$com" "$@" || status=$?
exit "$status"
