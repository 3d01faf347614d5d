#!/bin/sh
# Certificates for trying the TLS link (stunnel) without a real CA: the
# tunnel's end-to-end test and the lab use it, and so can a bench by hand.
#   make-certs.sh DIR CA NAME:DNS-NAME...
# DIR/CA.pem and DIR/CA.key: a self-signed CA, made unless it is there; for
# each NAME, DIR/NAME.pem and DIR/NAME.key: a certificate for DNS-NAME
# (subject and subjectAltName) signed by that CA. Valid for two days.
set -eu
cd "$1"
ca=$2
shift 2
o() { openssl "$@" 2>/dev/null; }
[ -s "$ca.pem" ] || o req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$ca" -keyout "$ca.key" -out "$ca.pem"
for n in "$@"; do
  name=${n%%:*} dns=${n#*:}
  o req -newkey rsa:2048 -nodes -subj "/CN=$dns" -keyout "$name.key" -out "$name.csr"
  printf 'subjectAltName=DNS:%s\n' "$dns" > "$name.ext"
  o x509 -req -in "$name.csr" -CA "$ca.pem" -CAkey "$ca.key" -CAcreateserial -days 2 -extfile "$name.ext" -out "$name.pem"
  rm -f "$name.csr" "$name.ext"
done
