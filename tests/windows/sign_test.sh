#!/usr/bin/env bash
# Signing as the build does it (packaging/windows/sign.cmake): with a
# certificate and its key, made here for the test, each file gets a signature
# that osslsigncode verifies against that certificate; without them the file
# stays as it was. The build's own files are signed only when the build was
# given a certificate (RS485_SIGN_CERT: the one it was given, or empty).
#   sign_test.sh SIGN_SCRIPT FILE...
set -euo pipefail
script=$1
shift
work=$(mktemp -d /tmp/rs485-sign.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "sign test FAILED: $*" >&2; exit 1; }
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=rs485setup test" -addext extendedKeyUsage=codeSigning \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
for file in "$@"; do
  name=$(basename "$file")
  copy=$work/$name
  cp "$file" "$copy"
  if [ -n "${RS485_SIGN_CERT:-}" ]; then
    osslsigncode verify -CAfile "$RS485_SIGN_CERT" -in "$copy" >/dev/null 2>&1 || fail "the build left $name unsigned"
  elif osslsigncode verify -in "$copy" >/dev/null 2>&1; then
    fail "the build signed $name without a certificate"
  fi
  cmake -DFILE="$copy" -DCERT= -DKEY= -P "$script"
  cmp -s "$file" "$copy" || fail "$name changed without a certificate"
  cmake -DFILE="$copy" -DCERT="$work/cert.pem" -DKEY="$work/key.pem" -P "$script"
  osslsigncode verify -CAfile "$work/cert.pem" -in "$copy" >"$work/verify" 2>&1 ||
    fail "$name: $(cat "$work/verify")"
  echo "ok: $name signed and verified"
done
