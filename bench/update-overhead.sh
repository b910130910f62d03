#!/usr/bin/env bash
# Overhead of a whole update: wall time of mirdal-cli install divided by the
# fixed waits of the scenario plus the time its bytes take on a 9600-baud
# line (10 bits per byte).
# Usage: bench/update-overhead.sh [RECORDS]
#   RECORDS  records of bench/paced-updates.sh; without it, three paced
#            updates at time scale MIRDAL_BENCH_SCALE (default 1) are run.
source "$(dirname "$0")/lib.sh"
paced_records 1 "${1:-}"

lines=$(paste -d ' ' <(field wall_s "$records") <(field fixed_ms "$records") <(field scale "$records") \
  <(field wire_bytes "$records"))
ratio=$(awk -v baud="$baud" '{ print $1 / ($2 * $3 / 1000 + $4 * 10 / baud) }' <<<"$lines" | median)
wall=$(awk '{ print $1 }' <<<"$lines" | median)
ideal=$(awk -v baud="$baud" '{ print $2 * $3 / 1000 + $4 * 10 / baud }' <<<"$lines" | median)
scale=$(awk '{ print $3 }' <<<"$lines" | sort -u | paste -sd ,)
printf '| Whole update overhead (1 batch, time scale %s, median of %d) | <= 1.01 | %.2f s for %.2f s of fixed waits and wire time | %.4f | %s |\n' \
  "$scale" "$(wc -l <<<"$lines")" "$wall" "$ideal" "$ratio" "$(verdict "$ratio <= 1.01")"
