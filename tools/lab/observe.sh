# What an operator sees of the installed service (sourced by guest.sh at the
# end of group deployed; uses its deb, repo, check, pass and fail): pelko ctl
# for a member of group pelko and refused to another user, the status line in
# systemctl status, and the metrics as Debian's node exporter serves them. A
# node at the line's end (observe-node.py) answers for address 16, so the counters are
# the bus's own.
dpkg -i "$deb" >/dev/null
systemctl daemon-reload
obs=/run/lab-observe && mkdir -p $obs
python3 "$repo/tests/deploy-server.py" $obs & obs_server=$!
python3 "$repo/tools/lab/observe-node.py" "$line" & obs_node=$!
for _ in $(seq 50); do [ -s $obs/port ] && break; sleep 0.1; done
# The packaged configuration's socket and metrics file, the lab's server and line.
printf '[settings]\nip=127.0.0.1\nport=%s\nuart=%s\ndirection=gpiochip\ngpio=pelko-de\n%s\n%s\nmetrics_interval=2\n' \
  "$(cat $obs/port)" "$uart" "$(grep '^control_socket=' "$repo/packaging/pelko.conf")" \
  "$(grep '^metrics_file=' "$repo/packaging/pelko.conf")" > /etc/pelko/pelko.conf
useradd -M -G pelko lab-operator && useradd -M lab-other
obs_since=$(date '+%Y-%m-%d %H:%M:%S')
timeout 60 systemctl start pelko.service prometheus-node-exporter.service
ctl() {  # ctl USER ARGS...: pelko ctl as USER, its output in /tmp/ctl.out
  runuser -u "$1" -- sh -c 'shift; timeout 30 pelko ctl "$@"' sh "$@" > /tmp/ctl.out 2>&1
}
for _ in $(seq 30); do ctl lab-operator nodes && grep -q 'answering' /tmp/ctl.out && break; sleep 1; done
cat /tmp/ctl.out
check "pelko ctl nodes, group pelko: node 16 answering, its value, its counters" \
  grep -Eq '^node 16: type 1 R, answering, values \[\[[0-9]+\]\], [0-9]+ requests, [0-9]+ valid, 0 missing, 0 invalid, reply [0-9.]+ ms$' /tmp/ctl.out
ctl lab-operator nodes --json
check "pelko ctl nodes --json: address, type, state, values, counters" \
  python3 -c 'import json,sys; n=json.load(open("/tmp/ctl.out"))[0]; sys.exit(not (n["address"]==16 and n["type"]==1 and n["state"]=="answering" and n["values"][0]["channel"]==0 and n["valid"]>0 and n["missing"]==0 and n["invalid"]==0 and n["requests"]>=n["valid"]))'
ctl lab-operator status
cat /tmp/ctl.out
check "pelko ctl status: server connected, the bus's passes, 1 answering" \
  grep -Eq 'nodes: 1 filed, 1 answering, 0 failing' /tmp/ctl.out
ctl lab-operator trace --node 16 --seconds 2
head -n 5 /tmp/ctl.out
check "pelko ctl trace --node 16: the request and the node's reply decoded, crc ok" \
  grep -Eq 'bus -> gw VALUE_REPLY \(0x0B\) node 16 values \[\[[0-9]+\]\], crc ok, reply [0-9.]+ ms \| 23 06 0B 00 10 ' /tmp/ctl.out
check "pelko ctl trace: ends after 2 s with its last line" test "$(tail -n 1 /tmp/ctl.out)" = "end of trace"
ctl lab-other status; cat /tmp/ctl.out
check "pelko ctl refused for a user outside group pelko" grep -q 'cannot connect to /run/pelko/control: Permission denied' /tmp/ctl.out
check "the socket: mode 0660, user and group pelko, in /run/pelko (0750)" \
  test "$(stat -c '%a %U %G' /run/pelko/control) $(stat -c '%a' /run/pelko)" = "660 pelko pelko 750"
sleep 5
systemctl status pelko.service --no-pager | head -n 5
check "systemctl status pelko shows the status line" \
  sh -c "systemctl status pelko.service --no-pager | grep -Eq 'Status: \"1 node, 1 answering, [0-9]+ passes/s, server link up [0-9]+ (s|min)\"'"
for _ in $(seq 30); do curl -sf http://127.0.0.1:9100/metrics > /tmp/scrape.out && grep -q '^pelko_' /tmp/scrape.out && break; sleep 1; done
grep -E '^pelko_(bus_passes|bus_sent|node_requests|node_replies)' /tmp/scrape.out
valid=$(sed -n 's/^pelko_node_replies_total{bus="pelko",node="16",result="valid"} \([0-9]*\)$/\1/p' /tmp/scrape.out)
passes=$(sed -n 's/^pelko_bus_passes_total{bus="pelko"} \([0-9]*\)$/\1/p' /tmp/scrape.out)
# One node, one request a pass; the pass is counted once it ends.
check "node exporter serves pelko_ metrics with the bus's counters (passes $passes, valid replies $valid)" \
  test "${valid:-0}" -gt 0 -a "${passes:-0}" -gt 0 -a "${valid:-0}" -le $((${passes:-0} + 1))
check "node exporter: no error reading the textfile" sh -c '! grep -q "^node_textfile_scrape_error 1" /tmp/scrape.out'
journalctl -u pelko.service --since "$obs_since" -o cat -p warning | grep -E 'Metrics|Control socket'
check "no warning about the metrics file or the socket" \
  sh -c "! journalctl -u pelko.service --since '$obs_since' -o cat -p warning | grep -qE 'Metrics|Control socket'"
systemctl stop pelko.service prometheus-node-exporter.service
kill $obs_server $obs_node
