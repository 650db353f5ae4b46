#!/usr/bin/env bash
# Makes every certificate the TLS tests need in the folder $1, in a few seconds:
# a private CA with an intermediate, server certificates (good, expired, wrong host,
# self-signed, RSA for the old protocol versions), client certificates in each file form and
# a three-certificate chain.
set -euo pipefail
cd "$1"
ec() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ext() { printf '%s\n' "$@" > ext.cnf; }
# sign NAME ISSUER DAYS: NAME.csr signed by ISSUER with the extensions in ext.cnf
sign() {
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days "$3" \
    -extfile ext.cnf -out "$1.pem" 2>/dev/null
}
csr() { openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"; }

ec ca.key
openssl req -x509 -new -key ca.key -subj "/CN=qor test root" -days 2 -out ca.pem \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

ec inter.key; csr inter "qor test intermediate"
ext "basicConstraints=critical,CA:TRUE,pathlen:0" "keyUsage=critical,keyCertSign,cRLSign"
sign inter ca 2

server_ext() { ext "basicConstraints=CA:FALSE" "extendedKeyUsage=serverAuth" "subjectAltName=$1"; }
ec server.key; csr server localhost
server_ext "DNS:localhost,IP:127.0.0.1,IP:::1"; sign server inter 2
cat server.pem inter.pem > server-chain.pem

ec expired.key; csr expired localhost
server_ext "DNS:localhost,IP:127.0.0.1"; sign expired inter -1
cat expired.pem inter.pem > expired-chain.pem

ec wronghost.key; csr wronghost other.example
server_ext "DNS:other.example,IP:10.9.8.7"; sign wronghost inter 2
cat wronghost.pem inter.pem > wronghost-chain.pem

ec selfsigned.key
openssl req -x509 -new -key selfsigned.key -subj "/CN=localhost" -days 2 -out selfsigned.pem \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.key 2>/dev/null
csr rsa localhost
server_ext "DNS:localhost,IP:127.0.0.1"; sign rsa inter 2
cat rsa.pem inter.pem > rsa-chain.pem

ec client.key; csr client "qor test client"
ext "basicConstraints=CA:FALSE" "extendedKeyUsage=clientAuth"; sign client inter 2
cat client.pem inter.pem ca.pem > client-chain3.pem
openssl pkey -in client.key -aes256 -passout pass:secret -out client-enc.key
openssl pkcs12 -export -in client.pem -inkey client.key -certfile inter.pem \
  -passout pass:secret -out client.p12
cp client.p12 client-upper.PFX
# A password as long as the 128-byte buffer allows (127 bytes and the terminator).
openssl pkcs12 -export -in client.pem -inkey client.key -passout "pass:$(printf 'x%.0s' {1..127})" \
  -out client-long.p12
# What OpenSSL 1.x tools made: RC2 and 3DES, which OpenSSL 3 reads only with its legacy provider.
openssl pkcs12 -export -legacy -in client.pem -inkey client.key -passout pass:secret \
  -out client-legacy.p12 2>/dev/null || true
# A PFX without any password (its MAC made with none, not with the empty one), as the
# platform's tools export it; the openssl command always uses a password.
python3 - <<'PY'
import ctypes
c = ctypes.CDLL("libcrypto.so.3")
P = ctypes.c_void_p
for name, res, args in [("BIO_new_mem_buf", P, [ctypes.c_char_p, ctypes.c_int]),
                        ("PEM_read_bio_PrivateKey", P, [P, P, P, P]),
                        ("PEM_read_bio_X509", P, [P, P, P, P]),
                        ("PKCS12_create", P, [ctypes.c_char_p, ctypes.c_char_p, P, P, P] + [ctypes.c_int] * 5),
                        ("i2d_PKCS12", ctypes.c_int, [P, ctypes.POINTER(ctypes.c_char_p)])]:
    getattr(c, name).restype, getattr(c, name).argtypes = res, args
def pem(path, reader):
    data = open(path, "rb").read()
    return getattr(c, reader)(c.BIO_new_mem_buf(data, len(data)), None, None, None)
p12 = c.PKCS12_create(None, b"client", pem("client.key", "PEM_read_bio_PrivateKey"),
                      pem("client.pem", "PEM_read_bio_X509"), None, -1, -1, 0, 1, 0)
out = ctypes.create_string_buffer(c.i2d_PKCS12(p12, None))
cursor = ctypes.cast(out, ctypes.c_char_p)
n = c.i2d_PKCS12(p12, ctypes.byref(cursor))
open("client-nopass.p12", "wb").write(out.raw[:n])
PY
openssl pkcs12 -export -in client.pem -inkey client.key -passout pass: -out client-empty.p12
cat client.pem client.key > client-with-key.pem
# Clients verify client certificates against this: the CA and the intermediate.
cat inter.pem ca.pem > ca-bundle.pem
rm -f ./*.csr ext.cnf ./*.srl
