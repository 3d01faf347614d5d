#!/usr/bin/env bash
# The server link over TLS with stunnel on both ends of the loopback, as the
# README's "An encrypted server link" sets it up:
#   check-tunnel.sh PELKO-SIM PELKO CLIENT-CONF
# gateway -> client stunnel (CLIENT-CONF, the packaged example, with this
# test's ports and files) -> server stunnel -> pelko-sim's server. The
# certificates are made now (tools/tunnel/make-certs.sh): a CA, the server's
# (pelko-server.test), the gateway's (the server asks for it), and the
# impostors: another name, another CA, and a server without TLS.
set -euo pipefail
sim=$(readlink -f "$1") pelko=$(readlink -f "$2") example=$(readlink -f "$3")
certs=$(readlink -f "$(dirname "$0")/../tools/tunnel/make-certs.sh")
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in stunnel4 openssl python3; do
  command -v $tool >/dev/null || { echo "skipped: no $tool (scripts/deps.sh test installs it)"; exit 77; }
done
tmp=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$tmp"' EXIT
cd "$tmp"
"$certs" . ca server:pelko-server.test wrong-name:other-server.test gateway:gateway-1.pelko.test
"$certs" . rogue-ca wrong-ca:pelko-server.test
# Free ports: the bench's server, the server's TLS port, the tunnel's local end.
read -r backend tls local < <(python3 -c '
import socket
s = [socket.socket() for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')

tunnel() {  # tunnel NAME CONFIG...: a stunnel in the background, started
  printf '%s\n' "${@:2}" > "$1.conf"
  stunnel4 "$1.conf" > "$1.log" 2>&1 &
  for _ in $(seq 50); do grep -q 'Configuration successful' "$1.log" && return 0; sleep 0.1; done
  fail "stunnel $1 did not start: $(cat "$1.log")"
}
server() {  # server CERT: TLS on $tls with CERT, to $backend; the gateway's certificate asked for
  [ -z "${far:-}" ] || { kill "$far"; wait "$far" 2>/dev/null || true; }
  tunnel server 'foreground = yes' 'pid =' '[pelko]' "accept = 127.0.0.1:$tls" "connect = 127.0.0.1:$backend" "cert = $1.pem" "key = $1.key" \
    'verifyChain = yes' 'CAfile = ca.pem'
  far=$!
}
# The gateway's end as shipped, but for the ports, the files and the user
# (a test that is not root cannot change it). Were its checks gone, the
# refusals below would fail.
tunnel client "$(sed -e "s|^accept = .*|accept = 127.0.0.1:$local|" -e "s|^connect = .*|connect = 127.0.0.1:$tls|" \
  -e 's|^checkHost = .*|checkHost = pelko-server.test|' -e "s|^CAfile = .*|CAfile = ca.pem|" \
  -e 's|^;cert = .*|cert = gateway.pem|' -e 's|^;key = .*|key = gateway.key|' -e '/^set[ug]id = /d' "$example")"

# Through the tunnel the default scenario (handshake, values both ways, the
# server's commands) passes as on a plain link. The pin is not this test's:
# no pin, so the bench's pin timing on a busy machine cannot fail it.
server server
timeout 120 "$sim" --server-port "$backend" --set port="$local" --direction none --quiet > sim.out 2>&1 ||
  fail "the default scenario through the tunnel: $(cat sim.out client.log server.log)"
grep -q 'Certificate accepted at depth=0: CN=pelko-server.test' client.log || fail "server's certificate not checked"
grep -q 'Certificate accepted at depth=0: CN=gateway-1.pelko.test' server.log || fail "gateway's certificate not checked"
echo "through the tunnel: $(tail -n 1 sim.out)"

# Refused: the gateway ends with status 1 and its line of a server gone;
# the tunnel says why; nothing reaches the listener behind the server's end.
python3 -c '
import socket, sys
s = socket.create_server(("127.0.0.1", int(sys.argv[1])))
while True:
    c, _ = s.accept(); open("backend.got", "ab").write(c.recv(4096) or b"(connection)"); c.close()' "$backend" &
printf '[settings]\nip=127.0.0.1\nport=%s\nuart=/dev/null\ndirection=none\n' "$local" > pelko.conf
refused() {  # refused TITLE LOG-PATTERN
  seen=$(wc -c < client.log)
  status=0 && timeout 30 "$pelko" --config pelko.conf > gateway.out 2> gateway.err || status=$?
  # (The request may meet the reset first: then the send's own line too.)
  [ "$status" = 1 ] && grep -qxE 'Server closed the connection|Connection to the server failed: .*' gateway.err &&
    ! grep -vxE 'Problém s odesláním dat|Server closed the connection|Connection to the server failed: .*' gateway.err ||
    fail "$1: gateway status $status: $(cat gateway.out gateway.err)"
  why=$(tail -c +$((seen + 1)) client.log | grep -m1 -E "$2") || fail "$1: the tunnel did not say why: $(cat client.log)"
  [ ! -s backend.got ] || fail "$1: bytes reached the server: $(cat backend.got)"
  echo "refused: $1: $(tr '\n' ' ' < gateway.err); stunnel: ${why#*: }"
}
server wrong-name && refused "a server certificate of another name" 'CERT: Subject checks failed'
server wrong-ca && refused "a server certificate of another CA" 'Rejected by CERT'
kill "$far" && wait "$far" 2>/dev/null || true
python3 -c '
import socket, sys
s = socket.create_server(("127.0.0.1", int(sys.argv[1])))
while True:
    c, _ = s.accept(); c.recv(4096); c.sendall(b"{\"message_type\":2,\"address\":3}\0"); c.close()' "$tls" &
sleep 0.5
refused "a server without TLS, answering in plain text" 'SSL_connect'
echo ok
