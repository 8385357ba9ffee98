#!/usr/bin/env bash
# Lays down a sample Mox runtime installation for MoxSecurityConfig to work on, under PREFIX (default /):
#   PREFIX/mox/OpcUa/MoxOpcUa.ini    OPC UA server configuration, every key the tool reads, relative paths
#   PREFIX/mox/OpenSSL/              the two OpenSSL templates from share/openssl
#   PREFIX/mox/moxcore/exec.mox      the runtime core's configuration (its folder receives moxcore.cer/.key)
# An existing PREFIX/mox is never touched: the script says so and exits 0 without changing anything.
# Usage: scripts/install-sample.sh [PREFIX]
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${1:-/}"
mox="${prefix%/}/mox"

if [ -e "$mox" ] || [ -L "$mox" ]; then
  echo "$mox already exists: left untouched, no sample installed."
  exit 0
fi

# Build the tree beside its final place and move it in at once, so a failure leaves no half-made /mox.
mkdir -p "${prefix%/}/"
staging="$(mktemp -d "${prefix%/}/.mox-sample.XXXXXX")"
trap 'rm -rf "$staging"' EXIT
chmod 755 "$staging"

mkdir -p "$staging/OpcUa" "$staging/OpenSSL" "$staging/moxcore"
install -m 644 "$here/share/openssl/qvd_openssl.cnf" "$here/share/openssl/qvd_openssl_v3.ext" "$staging/OpenSSL/"

cat > "$staging/OpcUa/MoxOpcUa.ini" <<'INI'
; Sample configuration of the Mox OPC UA server, laid down by MoxSecurityConfig's scripts/install-sample.sh.
; With USE_RELATIVE_PATH=Y every path below is relative to this file's folder.
[APPLICATION]
USE_RELATIVE_PATH=Y
APPLICATION_URI=urn:MOX:UA:TestServer
APPLICATION_CERTIFICATE_PATH=pki/own/cert.pem
APPLICATION_PRIVATE_KEY_PATH=pki/own/private/key.pem
APPLICATION_PRIVATE_KEY_PASSWORD=

[AUTH]
CREDENTIALS_USER_TOKEN_POLICY_ID=username_basic256sha256
CREDENTIALS_INI_PATH=users.ini
OPTIONAL_ENCODING_SALT=

[SECURITY]
CERTIFICATE_TRUST_LIST_PATH=pki/trusted
CERTIFICATE_ISSUER_LIST_PATH=pki/issuers
CERTIFICATE_REVOCATION_LIST_PATH=pki/crl
CERTIFICATE_REJECTED_LIST_PATH=pki/rejected
INI

cat > "$staging/moxcore/exec.mox" <<'MOX'
; Sample runtime core configuration laid down by MoxSecurityConfig's scripts/install-sample.sh.
; MoxSecurityConfig only uses its folder, where the core's moxcore.cer and moxcore.key go.
MOX

mv -T "$staging" "$mox"
trap - EXIT
echo "Sample installation laid down in $mox"
