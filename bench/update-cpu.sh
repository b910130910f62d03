#!/usr/bin/env bash
# CPU use: user + system CPU time of mirdal-cli over a whole update divided
# by its wall time, both from wait4() of the process.
# Usage: bench/update-cpu.sh [RECORDS]
#   RECORDS  records of bench/paced-updates.sh; without it, three paced
#            updates at time scale MIRDAL_BENCH_SCALE (default 1) are run.
source "$(dirname "$0")/lib.sh"
paced_records 1 "${1:-}"

lines=$(paste -d ' ' <(field user_s "$records") <(field sys_s "$records") <(field wall_s "$records"))
share=$(awk '{ print 100 * ($1 + $2) / $3 }' <<<"$lines" | median)
cpu=$(awk '{ print $1 + $2 }' <<<"$lines" | median)
wall=$(awk '{ print $3 }' <<<"$lines" | median)
printf '| CPU of mirdal-cli over a whole update (median of %d) | < 1 %% of wall time | %.3f s CPU in %.2f s | %.3f %% | %s |\n' \
  "$(wc -l <<<"$lines")" "$cpu" "$wall" "$share" "$(verdict "$share < 1")"
