#!/usr/bin/env bash
# Every performance figure in one markdown table: the paced whole updates
# (shared by the download, overhead and CPU figures), the in-process
# start-up and cryptography benchmarks against OpenSSL, and the memory runs.
# Takes about ten minutes: three updates of two and a half minutes each at
# time scale 1. Run it on a quiet machine (see the load printed).
# Usage: bench/run-all.sh   (MIRDAL_BUILD_DIR=... to measure another build,
#                            MIRDAL_BENCH_RUNS / MIRDAL_BENCH_SCALE for the paced updates)
source "$(dirname "$0")/lib.sh"
ensure_built mirdal-bench-crypto

records=$(mktemp /tmp/mirdal-bench-records.XXXXXX)
trap 'rm -f "$records" "$records.blocks"' EXIT
load_before=$(load1)
"$bench_dir/paced-updates.sh" "$records" "${MIRDAL_BENCH_RUNS:-3}" "${MIRDAL_BENCH_SCALE:-1}"
rows=$(
  "$bench_dir/download-efficiency.sh" "$records"
  "$bench_dir/update-overhead.sh" "$records"
  "$bench_dir/update-cpu.sh" "$records"
  "$bench_dir/startup-crypto.sh" --no-header
  MIRDAL_BENCH_RUNS= MIRDAL_BENCH_SCALE= "$bench_dir/memory.sh" --no-header
)

echo "Machine: $(machine); load average $load_before at the start, $(load1) at the end."
echo "Build: $build ($(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt"))."
echo
table_header
echo "$rows"
