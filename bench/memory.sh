#!/usr/bin/env bash
# Memory: peak resident set of mirdal-cli over a whole update of a 1 MiB
# package, and the same with a 1 KiB package as the baseline. The difference
# is what the package costs; held once, it is about 1 MiB.
# The simulated terminal answers at once and the pauses are scaled down
# (MIRDAL_BENCH_SCALE, default 0.01): memory does not depend on the pace.
# Usage: bench/memory.sh [--no-header]
source "$(dirname "$0")/lib.sh"
runs=${MIRDAL_BENCH_RUNS:-5}
scale=${MIRDAL_BENCH_SCALE:-0.01}
ensure_built
# The byte trace is not part of an ordinary update.
export MIRDAL_BENCH_TRACE=0

work=$(mktemp -d /tmp/mirdal-bench-memory.XXXXXX)
trap 'rm -rf "$work"' EXIT
make_config "$work/large" APP1M.BIN $((1 << 20))
make_config "$work/tiny" APP1K.BIN 1024
for i in $(seq "$runs"); do
  echo "memory run $i/$runs (load $(load1))..." >&2
  run_update "$work/large" "$scale" "$work/large.records"
  run_update "$work/tiny" "$scale" "$work/tiny.records"
done

large=$(field maxrss_kib "$work/large.records" | median)
tiny=$(field maxrss_kib "$work/tiny.records" | median)
extra=$(calc "($large - $tiny) / 1024")
copies=$(calc "($large - $tiny) / 1024")
[ "${1:-}" = "--no-header" ] || table_header
printf '| Peak memory, whole update of a 1 MiB package (median of %d) | package held once (about +1 MiB) | %.1f MiB peak RSS; %.1f MiB with a 1 KiB package: +%.2f MiB | %.2f copies | %s |\n' \
  "$runs" "$(calc "$large / 1024")" "$(calc "$tiny / 1024")" "$extra" "$copies" "$(verdict "$copies <= 1.25")"
