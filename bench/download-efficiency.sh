#!/usr/bin/env bash
# Download efficiency: payload bytes per second of the download phase (from
# the download start frame to the final confirmation) against the line's
# limit of 732 B/s (122 payload bytes per 160 wire bytes at 9600 baud).
# Usage: bench/download-efficiency.sh [RECORDS]
#   RECORDS  records of bench/paced-updates.sh; without it, three paced
#            updates are run (pauses scaled by MIRDAL_BENCH_SCALE, default
#            0.05: the fixed waits lie outside the download phase).
source "$(dirname "$0")/lib.sh"
paced_records 0.05 "${1:-}"

rates=$(paste -d ' ' <(field payload_bytes "$records") <(field download_s "$records") | awk '{ print $1 / $2 }')
rate=$(median <<<"$rates")
runs=$(wc -l <<<"$rates")
share=$(calc "100 * $rate / $line_limit_bps")
# Where the time goes, block by block (means, so that they add up): from a
# block written to its answer read, against 166.67 ms on the wire; from the
# answer read to the next block written (mirdal-cli's own share).
rtt=$(awk '$1 == "rtt" { print $2 * 1000 }' "$records.blocks" | mean)
turn=$(awk '$1 == "turnaround" { print $2 * 1000 }' "$records.blocks" | mean)
printf '| Download efficiency (9600 baud, 66002-byte file, median of %d) | >= 98 %% of 732 B/s | %.1f B/s; per block %.3f ms from block to answer for 166.667 ms on the wire, %.3f ms from answer to next block | %.2f %% | %s |\n' \
  "$runs" "$rate" "$rtt" "$turn" "$share" "$(verdict "$share >= 98")"
