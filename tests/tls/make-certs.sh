#!/usr/bin/env bash
# Makes the TLS test certificates in OUTDIR (made if missing):
#   ca.pem ca.key                 the test CA, imported into the Wine prefix's ROOT store
#   otherca.pem otherca.key       a second CA that is never imported
#   <name>.pem <name>.key <name>.sha256 for each leaf:
#     server        CN localhost, SAN DNS:localhost IP:127.0.0.1 IP:::1, by the CA, 2 years
#     noip          SAN DNS:localhost only, by the CA
#     wrongname     SAN DNS:wrong.example, by the CA
#     expired       SAN DNS:localhost IP:127.0.0.1, by the CA, valid only in the past
#     selfsigned    self-signed, SAN DNS:localhost IP:127.0.0.1
#     otherca-leaf  SAN DNS:localhost IP:127.0.0.1, by otherca (the server sends only the leaf)
#     clientonly    SAN DNS:localhost IP:127.0.0.1, by the CA, for client authentication only
#     withurls      SAN DNS:localhost, by the CA, naming its issuer, OCSP responder and CRL
#                   at http://127.0.0.1:PORT/ (withurls.port holds PORT, derived from OUTDIR)
#     cnonly        CN localhost and no subject alternative names, by the CA
#     fetched       SAN DNS:localhost, by the intermediate, naming it and its CRL at PORT
#     revoked       the same, and listed in the intermediate's CRL
#   inter.pem inter.key inter.cer  an intermediate CA under the CA (inter.cer: DER), naming
#                                  the CA's CRL at PORT
#   inter.crl ca.crl               the CRLs (DER) of the intermediate (listing revoked) and
#                                  of the CA (listing nothing), for a test to serve at PORT
# The leaves share one key: making RSA keys is what takes the time here.
# <name>.sha256 holds the SHA-256 fingerprint of the leaf's DER: 64 upper-case
# hex digits and a newline.
#
# Run again, it keeps a complete set whose certificates stay valid for another
# week, so that the CA already imported into a Wine prefix stays the right
# one; otherwise it makes the whole set afresh. Every file is world-readable:
# Dovecot reads the keys as its own user.
#   make-certs.sh OUTDIR
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
out=$1
# Several build folders make their sets on this machine: each its own port,
# below the ephemeral range and away from the tests' Dovecot (20000 to 39999).
port=$((15000 + $(printf '%s' "$out" | cksum | cut -d' ' -f1) % 5000))
leaves="server noip wrongname expired selfsigned otherca-leaf clientonly withurls cnonly fetched revoked"

complete() {
    local name
    for name in ca otherca inter $leaves; do
        [ -s "$out/$name.pem" ] && [ -s "$out/$name.key" ] || return 1
    done
    for name in $leaves; do
        [ -s "$out/$name.sha256" ] || return 1
    done
    for name in inter.cer inter.crl ca.crl; do
        [ -s "$out/$name" ] || return 1
    done
    [ "$(cat "$out/withurls.port" 2>/dev/null)" = "$port" ] || return 1
    # The CRLs are made with the certificates and last as long.
    for name in ca otherca inter server noip wrongname selfsigned otherca-leaf clientonly withurls \
        cnonly fetched revoked; do
        openssl x509 -in "$out/$name.pem" -noout -checkend 604800 >/dev/null || return 1
    done
}

if complete; then
    echo "make-certs.sh: $out already holds a valid set"
    exit 0
fi

umask 022
mkdir -p "$out"
work=$(mktemp -d "$out/.make.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

newkey() {
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key" 2>/dev/null
}
serial() {
    echo "0x$(openssl rand -hex 12)"
}

# req.cnf: what openssl req needs to make a certificate straight away.
cat >req.cnf <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
EOF

# The two CAs: self-signed, for signing certificates only.
for ca in ca otherca; do
    newkey "$ca"
    openssl req -new -x509 -config req.cnf -extensions ca -key "$ca.key" -out "$ca.pem" \
        -days 3650 -sha256 -subj "/O=qvpush tests/CN=qvpush test $ca" -set_serial "$(serial)"
done

newkey leaf
# leafext NAME SAN [USAGE [MORE]]: the extensions of a server certificate.
leafext() {
    cat >"$1.ext" <<EOF
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = ${3:-serverAuth}
${2:+subjectAltName = $2}
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
${4:-}
EOF
}

# signed NAME CN SAN CA [USAGE [MORE]]: a leaf signed by CA, valid from now for two years.
signed() {
    cp leaf.key "$1.key"
    leafext "$1" "$3" "${5:-}" "${6:-}"
    openssl req -new -key "$1.key" -subj "/O=qvpush tests/CN=$2" -out "$1.csr"
    openssl x509 -req -in "$1.csr" -CA "$4.pem" -CAkey "$4.key" -set_serial "$(serial)" \
        -days 730 -sha256 -extfile "$1.ext" -extensions leaf -out "$1.pem" 2>/dev/null
}

signed server localhost "DNS:localhost, IP:127.0.0.1, IP:::1" ca
signed noip localhost "DNS:localhost" ca
signed wrongname wrong.example "DNS:wrong.example" ca
signed otherca-leaf localhost "DNS:localhost, IP:127.0.0.1" otherca
signed clientonly localhost "DNS:localhost, IP:127.0.0.1" ca clientAuth
url=http://127.0.0.1:$port
signed withurls localhost "DNS:localhost" ca serverAuth \
    "authorityInfoAccess = caIssuers;URI:$url/ca.cer, OCSP;URI:$url/ocsp
crlDistributionPoints = URI:$url/ca.crl"
echo "$port" >withurls.port
signed cnonly localhost "" ca

# The intermediate and its two leaves, which a test's HTTP server on PORT
# backs: the issuer (inter.cer) and the CRLs.
newkey inter
cat >inter.ext <<EOF
[inter]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$url/ca.crl
EOF
openssl req -new -key inter.key -subj "/O=qvpush tests/CN=qvpush test intermediate" -out inter.csr
openssl x509 -req -in inter.csr -CA ca.pem -CAkey ca.key -set_serial "$(serial)" -days 730 -sha256 \
    -extfile inter.ext -extensions inter -out inter.pem 2>/dev/null
openssl x509 -in inter.pem -outform DER -out inter.cer
for name in fetched revoked; do
    signed "$name" localhost "DNS:localhost" inter serverAuth \
        "authorityInfoAccess = caIssuers;URI:$url/inter.cer
crlDistributionPoints = URI:$url/inter.crl"
done

# expired: openssl x509 -req cannot date a certificate in the past, openssl ca can.
cp leaf.key expired.key
leafext expired "DNS:localhost, IP:127.0.0.1"
openssl req -new -key expired.key -subj "/O=qvpush tests/CN=localhost" -out expired.csr
mkdir cadb
: >cadb/index.txt
openssl rand -hex 12 >cadb/serial
cat >cadb.cnf <<EOF
[ca]
default_ca = test
[test]
database = cadb/index.txt
serial = cadb/serial
new_certs_dir = cadb
default_md = sha256
policy = any
unique_subject = no
[any]
organizationName = optional
commonName = supplied
EOF
openssl ca -batch -notext -config cadb.cnf -cert ca.pem -keyfile ca.key \
    -startdate 20200101000000Z -enddate 20210101000000Z \
    -extfile expired.ext -extensions leaf -in expired.csr -out expired.pem 2>/dev/null

# crl CA [REVOKED...]: CA's CRL in DER, listing the certificates given, valid as
# long as the leaves.
crl() {
    local ca=$1 name
    shift
    mkdir "$ca.db"
    : >"$ca.db/index.txt"
    echo 01 >"$ca.db/crlnumber"
    cat >"$ca.db.cnf" <<EOF
[ca]
default_ca = test
[test]
database = $ca.db/index.txt
crlnumber = $ca.db/crlnumber
default_md = sha256
default_crl_days = 730
crl_extensions = crlext
unique_subject = no
[crlext]
authorityKeyIdentifier = keyid:always
EOF
    for name in "$@"; do
        openssl ca -batch -config "$ca.db.cnf" -cert "$ca.pem" -keyfile "$ca.key" -revoke "$name.pem" \
            2>/dev/null
    done
    openssl ca -batch -config "$ca.db.cnf" -cert "$ca.pem" -keyfile "$ca.key" -gencrl -out "$ca.crl.pem" \
        2>/dev/null
    openssl crl -in "$ca.crl.pem" -outform DER -out "$ca.crl"
}
crl inter revoked
crl ca

# selfsigned: a server certificate that is its own issuer.
cp leaf.key selfsigned.key
leafext selfsigned "DNS:localhost, IP:127.0.0.1"
{ sed -n '/^\[req\]/,/^\[dn\]/p' req.cnf; grep -v authorityKeyIdentifier selfsigned.ext; } >selfsigned.cnf
openssl req -new -x509 -config selfsigned.cnf -extensions leaf -key selfsigned.key \
    -subj "/O=qvpush tests/CN=localhost" -set_serial "$(serial)" -days 730 -sha256 -out selfsigned.pem

for name in $leaves; do
    openssl x509 -in "$name.pem" -outform DER | sha256sum | cut -c1-64 | tr a-f A-F >"$name.sha256"
done

chmod 644 ./*.pem ./*.key ./*.sha256 ./*.cer ./*.crl withurls.port
for name in ca otherca inter $leaves; do
    mv -f "$name.pem" "$name.key" "$out/"
done
mv -f inter.cer inter.crl ca.crl "$out/"
for name in $leaves; do
    mv -f "$name.sha256" "$out/"
done
mv -f withurls.port "$out/"
echo "make-certs.sh: made a new set in $out"
