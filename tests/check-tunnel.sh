#!/usr/bin/env bash
# The server link over TLS with stunnel on both ends of the loopback, as the
# README's "An encrypted server link" sets it up:
#   check-tunnel.sh PELKO-SIM PELKO CLIENT-CONF
# gateway -> client stunnel (CLIENT-CONF, the packaged example, with this
# test's ports, names and files) -> server stunnel -> pelko-sim's server.
# Certificates are made here with openssl: a CA, the server's (name
# pelko-server.test), the gateway's (the server asks for it), and the
# impostors: a server certificate of another name, one of another CA, and a
# server that speaks no TLS at all. Skipped (77) without stunnel4 or openssl.
set -euo pipefail
sim=$(readlink -f "$1") pelko=$(readlink -f "$2") example=$(readlink -f "$3")
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in stunnel4 openssl python3; do
  command -v $tool >/dev/null || { echo "skipped: no $tool (scripts/deps.sh test installs it)"; exit 77; }
done
tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
cd "$tmp"

# --- Certificates.
ossl() { openssl "$@" 2>/dev/null; }
ca() {  # ca NAME: a self-signed CA
  ossl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1" -keyout "$1.key" -out "$1.pem"
}
issue() {  # issue NAME CA DNS-NAME: a key and a certificate for DNS-NAME signed by CA
  ossl req -newkey rsa:2048 -nodes -subj "/CN=$3" -keyout "$1.key" -out "$1.csr"
  printf 'subjectAltName=DNS:%s\n' "$3" > "$1.ext"
  ossl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 2 -extfile "$1.ext" -out "$1.pem"
}
ca ca && ca rogue-ca
issue server ca pelko-server.test
issue wrong-name ca other-server.test
issue wrong-ca rogue-ca pelko-server.test
issue gateway ca gateway-1.pelko.test
[ -s server.pem ] && [ -s wrong-ca.pem ] && [ -s gateway.pem ] || fail "openssl made no certificates"

# Free ports on the loopback: the bench's server, the server's TLS port, the
# tunnel's local end.
read -r backend tls local < <(python3 -c '
import socket
s = [socket.socket() for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')

# The server's stunnel: TLS on $tls with the certificate given, to $backend;
# it asks for the gateway's certificate and checks it against the CA.
server_tunnel() {  # server_tunnel CERT-NAME
  cat > server.conf <<EOF
foreground = yes
pid =
[pelko]
accept = 127.0.0.1:$tls
connect = 127.0.0.1:$backend
cert = $1.pem
key = $1.key
verifyChain = yes
CAfile = ca.pem
EOF
  stunnel4 server.conf > server-tunnel.log 2>&1 &
  server_pid=$!
  pids+=($server_pid)
  for _ in $(seq 50); do grep -q 'Configuration successful' server-tunnel.log && return 0; sleep 0.1; done
  fail "the server's stunnel did not start: $(cat server-tunnel.log)"
}

# The gateway's stunnel: the packaged example with this test's ports and
# files, the gateway's certificate switched on. As a user that is not root
# it cannot change user; everything else is as shipped.
sed -e "s|^accept = .*|accept = 127.0.0.1:$local|" -e "s|^connect = .*|connect = 127.0.0.1:$tls|" \
    -e "s|^checkHost = server.example.org|checkHost = pelko-server.test|" \
    -e "s|^CAfile = .*|CAfile = $tmp/ca.pem|" -e "s|^;cert = .*|cert = $tmp/gateway.pem|" \
    -e "s|^;key = .*|key = $tmp/gateway.key|" -e '/^set[ug]id = /d' "$example" > client.conf
for want in "verifyChain = yes" "checkHost = pelko-server.test" "CAfile = $tmp/ca.pem" "cert = $tmp/gateway.pem" \
            "client = yes" "accept = 127.0.0.1:$local"; do
  grep -qx "$want" client.conf || fail "the example configuration no longer has: $want"
done
stunnel4 client.conf > client-tunnel.log 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q 'Configuration successful' client-tunnel.log && break; sleep 0.1; done
grep -q 'Configuration successful' client-tunnel.log || fail "the gateway's stunnel did not start: $(cat client-tunnel.log)"

# --- Through the tunnel: the default scenario (handshake, values both
# ways, the server's commands) passes as it does on a plain link.
server_tunnel server
if ! timeout 120 "$sim" --server-port "$backend" --set port="$local" --quiet > sim.out 2>&1; then
  cat sim.out client-tunnel.log server-tunnel.log
  fail "the default scenario failed through the tunnel"
fi
grep -qi 'certificate accepted' client-tunnel.log || fail "the gateway's stunnel did not check the server's certificate"
grep -q 'gateway-1.pelko.test' server-tunnel.log || fail "the server's stunnel did not see the gateway's certificate"
echo "through the tunnel: $(tail -n 1 sim.out)"

# --- Refusals. Behind the server's tunnel a listener that records whatever
# reaches it: nothing may. The gateway ends with status 1 and its one line of
# a server that went away, as for any server it cannot keep.
refused() {  # refused TITLE LOG-PATTERN
  printf '[settings]\nip=127.0.0.1\nport=%s\nuart=/dev/null\ndirection=none\n' "$local" > pelko.conf
  seen=$(wc -c < client-tunnel.log)
  set +e
  timeout 30 "$pelko" --config pelko.conf > gateway.out 2> gateway.err
  status=$?
  set -e
  [ "$status" = 1 ] || fail "$1: gateway status $status (want 1): $(cat gateway.out gateway.err)"
  grep -qxE 'Server closed the connection|Connection to the server failed: Connection reset by peer' gateway.err ||
    fail "$1: the gateway did not say its server went away: $(cat gateway.err)"
  [ "$(wc -l < gateway.err)" = 1 ] || fail "$1: more than one line: $(cat gateway.err)"
  why=$(tail -c +$((seen + 1)) client-tunnel.log | grep -m1 -E "$2") ||
    fail "$1: the gateway's stunnel did not say why: $(tail -c +$((seen + 1)) client-tunnel.log)"
  [ ! -s backend.got ] || fail "$1: bytes reached the server: $(cat backend.got)"
  echo "refused: $1: $(cat gateway.err); stunnel: ${why#*: }"
}
python3 -c '
import socket, sys
s = socket.create_server(("127.0.0.1", int(sys.argv[1])))
while True:
    c, _ = s.accept()
    open("backend.got", "ab").write(c.recv(4096) or b"(connection)")
    c.close()' "$backend" &
pids+=($!)
stop_server() { kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; }
stop_server && server_tunnel wrong-name
refused "a server certificate of another name" 'CERT: Subject checks failed'
stop_server && server_tunnel wrong-ca
refused "a server certificate of another CA" 'Rejected by CERT|CERT: Verification error'
# No TLS at all on the server's port: a plain server that would answer the
# handshake.
stop_server
python3 -c '
import socket, sys
s = socket.create_server(("127.0.0.1", int(sys.argv[1])))
while True:
    c, _ = s.accept()
    c.recv(4096)
    c.sendall(b"{\"message_type\":2,\"address\":3}\0")
    c.close()' "$tls" &
pids+=($!)
sleep 0.5
refused "a server without TLS" 'SSL_connect'
echo ok
