#!/usr/bin/env bash
# The configure-time checks of the signing keys (cmake/SigningKeys.cmake): the
# development key is trusted with a warning, a sample signed with a key that is
# not the trusted one stops the configuration, a matching pair passes quietly.
set -euo pipefail
work=$(mktemp -d /tmp/mirdal-keys.XXXXXX) && trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$work/out" >&2; exit 1; }
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/site.pem" 2>/dev/null
openssl pkey -in "$work/site.pem" -pubout -out "$work/site.pub"
dev=$1/keys/dev-signing-key.pem
# CMake wraps its messages by width: the words are compared on one line.
configure() { (cd "$1" && cmake -DMIRDAL_SIGNING_KEY="$2" -DMIRDAL_SAMPLE_SIGNING_KEY="$3" -P cmake/SigningKeys.cmake) 2>&1 | tr -s ' \n' ' ' >"$work/out"; return "${PIPESTATUS[0]}"; }
configure "$1" "$dev" "$dev" && grep -q "trusts the development signing key" "$work/out" || fail "development key"
! configure "$1" "$work/site.pub" "$dev" && grep -q "would refuse its own sample" "$work/out" || fail "mismatched pair"
configure "$1" "$work/site.pub" "$work/site.pem" && ! grep -q "development" "$work/out" || fail "site pair"
