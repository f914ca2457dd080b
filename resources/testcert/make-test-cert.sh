#!/usr/bin/env bash
# TEST ONLY - not a real signing certificate.
# Regenerates the throwaway certificate chain that signs this tree's builds (Authenticode signatures, the
# catalogue, the manifest signature): a self-signed "root" and a code-signing certificate issued by it. Both are valid from
# 2020 to 2120 (fixed dates, not "now": a machine whose clock is behind the one that made them must still
# verify them). The root's key is discarded: nothing else is ever issued under it. Run this only to
# replace the chain; the payload is re-signed at the next build.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# openssl is chatty on success; show its output only when a step fails.
run() { "$@" >"$work/out" 2>&1 || { cat "$work/out" >&2; exit 1; }; }
banner='# TEST ONLY - not a real signing certificate. Throwaway chain for building and testing Tovrand.'
ou='TEST ONLY - not a real signing certificate'

# "openssl ca" is the one tool of OpenSSL 3.0 that takes explicit validity dates.
mkdir "$work/db"
: >"$work/db/index.txt"
echo 01 >"$work/db/serial"
cat >"$work/ca.cnf" <<CNF
[req]
distinguished_name = dn
prompt = no
[dn]
[ca]
default_ca = testca
[testca]
database = $work/db/index.txt
new_certs_dir = $work/db
serial = $work/db/serial
default_md = sha256
policy = anything
unique_subject = no
email_in_dn = no
[anything]
organizationName = supplied
organizationalUnitName = supplied
commonName = supplied
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signing]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
dates=(-startdate 20200101000000Z -enddate 21200101000000Z)

run openssl req -new -newkey rsa:2048 -nodes -keyout "$work/root.key" -config "$work/ca.cnf" \
  -subj "/O=Norvatek (TEST ONLY)/OU=$ou/CN=Norvatek TEST ONLY Root" -out "$work/root.csr"
run openssl ca -batch -config "$work/ca.cnf" -selfsign -keyfile "$work/root.key" -in "$work/root.csr" \
  -extensions root -notext "${dates[@]}" -out "$work/root.crt"
run openssl req -new -newkey rsa:2048 -nodes -keyout "$work/signing.key" -config "$work/ca.cnf" \
  -subj "/O=Norvatek (TEST ONLY)/OU=$ou/CN=Norvatek TEST ONLY Driver Signing" -out "$work/signing.csr"
run openssl ca -batch -config "$work/ca.cnf" -cert "$work/root.crt" -keyfile "$work/root.key" \
  -in "$work/signing.csr" -extensions signing -notext "${dates[@]}" -out "$work/signing.crt"

# PEM readers skip text before the BEGIN line, so each file can say what it is.
{ echo "$banner"; openssl x509 -in "$work/root.crt"; } >"$here/TEST-ONLY-root.crt.pem"
{ echo "$banner"; openssl x509 -in "$work/signing.crt"; } >"$here/TEST-ONLY-signing.crt.pem"
{ echo "$banner"; cat "$work/signing.key"; } >"$here/TEST-ONLY-signing.key.pem"
openssl verify -CAfile "$here/TEST-ONLY-root.crt.pem" "$here/TEST-ONLY-signing.crt.pem"
