# Sourced by guest.sh in the deployed group, with the package installed: the
# server link over TLS as the README's "An encrypted server link" sets it up,
# under systemd. The packaged examples: stunnel-pelko.conf as
# /etc/stunnel/pelko.conf (Debian's stunnel@pelko.service), tunnel.conf as
# pelko.service's drop-in. The server's end: a stunnel of its own in front
# of the test server, asking for the gateway's certificate.

tunnel_certs() {
  "$repo/tools/tunnel/make-certs.sh" /etc/stunnel pelko-server-ca server:pelko-server.test \
    pelko-gateway:gateway-1.pelko.test &&
    chmod 640 /etc/stunnel/pelko-gateway.key && chgrp stunnel4 /etc/stunnel/pelko-gateway.key
}

tn=/run/lab-tunnel && mkdir -p $tn
python3 "$repo/tests/deploy-server.py" $tn & tunnel_server=$!
for _ in $(seq 50); do [ -s $tn/port ] && break; sleep 0.1; done
if check "tunnel: certificates made with openssl" tunnel_certs; then
  printf 'foreground = yes\npid =\n[srv]\naccept = 127.0.0.1:5443\nconnect = 127.0.0.1:%s\ncert = /etc/stunnel/server.pem\nkey = /etc/stunnel/server.key\nverifyChain = yes\nCAfile = /etc/stunnel/pelko-server-ca.pem\n' \
    "$(cat $tn/port)" > $tn/server.conf
  stunnel4 $tn/server.conf > $tn/server.log 2>&1 & tunnel_far=$!
  ex=/usr/share/doc/pelko/examples
  sed -e 's|^connect = .*|connect = 127.0.0.1:5443|' -e 's|^checkHost = .*|checkHost = pelko-server.test|' \
      -e 's|^;cert = |cert = |' -e 's|^;key = |key = |' $ex/stunnel-pelko.conf > /etc/stunnel/pelko.conf
  mkdir -p /etc/systemd/system/pelko.service.d && cp $ex/tunnel.conf /etc/systemd/system/pelko.service.d/
  printf '[settings]\nip=127.0.0.1\nport=5000\nuart=%s\ndirection=gpiochip\ngpio=pelko-de\n' "$uart" > /etc/pelko/pelko.conf
  systemctl daemon-reload
  tj() { journalctl -u "$1" --since "$since" -o cat --no-pager; }
  ts() { systemctl show -P "$2" "$1"; }
  since=$(date '+%Y-%m-%d %H:%M:%S')
  timeout 60 systemctl start pelko.service
  for _ in $(seq 60); do tj pelko.service | grep -q 'Missing start from node address 16' && break; sleep 0.5; done
  tj stunnel@pelko.service | tail -n 6 | sed 's/^/lab: /'
  check "tunnel: starting pelko started stunnel@pelko first" \
    test "$(ts stunnel@pelko.service ActiveState)" = active -a "$(ts pelko.service SubState)" = running
  check "tunnel: pelko.service requires and comes after stunnel@pelko.service" \
    sh -c "systemctl show -P Requires pelko.service | grep -q stunnel@pelko.service && systemctl show -P After pelko.service | grep -q stunnel@pelko.service"
  check "tunnel: the server's certificate checked (name and CA), the gateway's shown" \
    sh -c "journalctl -u stunnel@pelko.service --since '$since' -o cat | grep -q 'Certificate accepted at depth=0: CN=pelko-server.test' && grep -q 'CN=gateway-1.pelko.test' $tn/server.log"
  check "tunnel: handshake over TLS, the bus served" tj pelko.service -g 'Missing start from node address 16'
  # A tunnel that dies: the gateway loses its server (status 1), and its
  # restart brings the tunnel back.
  n=$(ts pelko.service NRestarts)
  systemctl kill -s KILL stunnel@pelko.service
  for _ in $(seq 60); do
    [ "$(ts pelko.service NRestarts)" -gt "$n" ] && [ "$(ts pelko.service SubState)" = running ] && break
    sleep 0.5
  done
  tj pelko.service | grep -E 'Server closed|Connection to the server failed|status=' | sed 's/^/lab: /'
  check "tunnel lost: the gateway ends with status 1 as for a lost server" \
    tj pelko.service -g 'Main process exited, code=exited, status=1/FAILURE'
  check "tunnel lost: the restart brings the tunnel and the gateway back" \
    test "$(ts pelko.service NRestarts)" -gt "$n" -a "$(ts pelko.service SubState)" = running -a \
      "$(ts stunnel@pelko.service ActiveState)" = active
  systemctl stop stunnel@pelko.service
  sleep 1
  check "tunnel stopped: the gateway stopped with it" test "$(ts pelko.service ActiveState)" = inactive
  rm -f /etc/systemd/system/pelko.service.d/tunnel.conf && systemctl daemon-reload
  kill $tunnel_far
fi
kill $tunnel_server
