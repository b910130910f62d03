#!/usr/bin/env bash
# Whole updates of a simulated terminal paced like a real 9600-baud line:
# one batch, one package of 66002 bytes (541 full blocks, over 64 KiB).
# Appends one record per update to RECORDS (see run_update in lib.sh).
# Usage: bench/paced-updates.sh RECORDS [RUNS [SCALE]]
source "$(dirname "$0")/lib.sh"
records=${1:?usage: paced-updates.sh RECORDS [RUNS [SCALE]]}
runs=${2:-3}
scale=${3:-1}
ensure_built

config=$(mktemp -d /tmp/mirdal-bench-config.XXXXXX)
trap 'rm -rf "$config"' EXIT
make_config "$config" APP64K.BIN $((541 * 122))
for i in $(seq "$runs"); do
  echo "paced update $i/$runs at time scale $scale (load $(load1))..." >&2
  run_update "$config" "$scale" "$records" --baud "$baud"
done
