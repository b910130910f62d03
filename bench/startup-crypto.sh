#!/usr/bin/env bash
# Start-up and cryptography against OpenSSL, in process (mirdal-bench-crypto):
# - loading and verifying the sample configuration against reading the file,
#   SHA-256 and RSA-2048 verification with OpenSSL;
# - the raw RSA-2048 private operation (CRT) against OpenSSL's;
# - AES-128-ECB decryption of 1 MiB against OpenSSL on its software path
#   (AES-NI masked with OPENSSL_ia32cap) and with AES-NI.
# Ratios are Mirdal's time over OpenSSL's, from the medians of the CPU time
# of several repetitions.
# Usage: bench/startup-crypto.sh [--no-header]
source "$(dirname "$0")/lib.sh"
repetitions=${MIRDAL_BENCH_REPETITIONS:-7}
ensure_built mirdal-bench-crypto

work=$(mktemp -d /tmp/mirdal-bench-crypto.XXXXXX)
trap 'rm -rf "$work"' EXIT
run_bench() {   # OUTPUT FILTER [ENV...]
  local output=$1 filter=$2
  shift 2
  env "$@" "$bin/mirdal-bench-crypto" --benchmark_filter="$filter" --benchmark_repetitions="$repetitions" \
    --benchmark_report_aggregates_only=true --benchmark_format=csv >"$output" 2>"$work/stderr" \
    || { cat "$work/stderr" >&2; return 1; }
  if grep -q ',true,' "$output"; then
    echo "a benchmark failed:" >&2
    grep ',true,' "$output" >&2
    return 1
  fi
}
echo "micro benchmarks, $repetitions repetitions (load $(load1))..." >&2
run_bench "$work/all.csv" '.'
run_bench "$work/soft.csv" 'AesEcbDecrypt' OPENSSL_ia32cap='~0x200000200000000'

# cpu_time of NAME's median, in nanoseconds.
nanoseconds() {   # CSV NAME
  awk -F, -v name="\"$2_median\"" '$1 == name {
    unit = $5; gsub(/"/, "", unit)
    scale = unit == "ns" ? 1 : unit == "us" ? 1e3 : unit == "ms" ? 1e6 : 1e9
    print $4 * scale }' "$1"
}
throughput() {   # CSV NAME -> MB/s (10^6 bytes)
  awk -F, -v name="\"$2_median\"" '$1 == name { print $6 / 1e6 }' "$1"
}

startup_m=$(nanoseconds "$work/all.csv" Startup_Mirdal)
startup_o=$(nanoseconds "$work/all.csv" Startup_OpenSSL)
load_m=$(nanoseconds "$work/all.csv" StartupLoadOnly_Mirdal)
sign_m=$(nanoseconds "$work/all.csv" StartupSignatureOnly_Mirdal)
pub_m=$(nanoseconds "$work/all.csv" RsaPublic_Mirdal)
pub_o=$(nanoseconds "$work/all.csv" RsaPublic_OpenSSL)
priv_m=$(nanoseconds "$work/all.csv" RsaPrivate_Mirdal)
priv_o=$(nanoseconds "$work/all.csv" RsaPrivate_OpenSSL)
aes_m=$(throughput "$work/all.csv" AesEcbDecrypt_Mirdal/1048576)
aes_ni=$(throughput "$work/all.csv" AesEcbDecrypt_OpenSSL/1048576)
aes_soft=$(throughput "$work/soft.csv" AesEcbDecrypt_OpenSSL/1048576)

[ "${1:-}" = "--no-header" ] || table_header
r=$(calc "$startup_m / $startup_o")
printf '| Start-up: load and verify the sample configuration | <= 2x OpenSSL | %.1f us (load %.1f us + signature %.1f us) vs %.1f us | %.2fx | %s |\n' \
  "$(calc "$startup_m / 1e3")" "$(calc "$load_m / 1e3")" "$(calc "$sign_m / 1e3")" "$(calc "$startup_o / 1e3")" "$r" \
  "$(verdict "$r <= 2")"
r=$(calc "$pub_m / $pub_o")
printf '| RSA-2048 public operation (in the signature check) | for information | %.1f us vs %.1f us | %.2fx | - |\n' \
  "$(calc "$pub_m / 1e3")" "$(calc "$pub_o / 1e3")" "$r"
r=$(calc "$priv_m / $priv_o")
printf '| RSA-2048 private operation, CRT (signing tool) | <= 2x OpenSSL | %.2f ms vs %.2f ms | %.2fx | %s |\n' \
  "$(calc "$priv_m / 1e6")" "$(calc "$priv_o / 1e6")" "$r" "$(verdict "$r <= 2")"
r=$(calc "$aes_soft / $aes_m")
printf '| AES-128-ECB decryption, 1 MiB, vs OpenSSL without AES-NI | <= 2x OpenSSL | %.0f MB/s vs %.0f MB/s | %.2fx | %s |\n' \
  "$aes_m" "$aes_soft" "$r" "$(verdict "$r <= 2")"
r=$(calc "$aes_ni / $aes_m")
printf '| AES-128-ECB decryption, 1 MiB, vs OpenSSL with AES-NI | for information | %.0f MB/s vs %.0f MB/s | %.2fx | - |\n' \
  "$aes_m" "$aes_ni" "$r"
