#!/bin/sh
# Makes the certificates of the HTTPS tests in DIR: a test authority and a
# server certificate from it for localhost and 127.0.0.1, the same for a name
# that is not ours, a self-signed server certificate, and client
# certificates of a second authority with the organisational units
# "NivraUnit" and "Other".
set -e
dir=$1
cd "$dir"
quiet() { "$@" > /dev/null 2>&1; }
key() { quiet openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"; }
authority() { # name subject
    key "$1.key"
    quiet openssl req -x509 -new -key "$1.key" -subj "$2" -days 30 -out "$1.pem" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
}
signed() { # name subject authority extensions
    key "$1.key"
    quiet openssl req -new -key "$1.key" -subj "$2" -out "$1.csr"
    printf '%s\n' "$4" > "$1.ext"
    quiet openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial \
        -days 30 -extfile "$1.ext" -out "$1.pem"
}
authority ca "/CN=Nivra Test CA"
signed server "/CN=localhost" ca "subjectAltName=DNS:localhost,IP:127.0.0.1"
signed stranger "/CN=elsewhere.example" ca "subjectAltName=DNS:elsewhere.example"
key self.key
quiet openssl req -x509 -new -key self.key -subj "/CN=localhost" -days 30 -out self.pem \
    -addext subjectAltName=DNS:localhost,IP:127.0.0.1
authority clientca "/CN=Nivra Client CA"
signed match "/CN=Nivra user/OU=NivraUnit" clientca "extendedKeyUsage=clientAuth"
signed other "/CN=Other user/OU=Other" clientca "extendedKeyUsage=clientAuth"
cat match.pem match.key > match-combined.pem
quiet openssl pkcs12 -export -in match.pem -inkey match.key -passout pass: -out match.p12
