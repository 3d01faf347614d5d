# Sourced by guest.sh in the deployed group (pass, fail, check and $repo
# come from there): a search for new nodes while the server reads nothing,
# under the watchdog (WatchdogSec=10s). The server fills the gateway's send
# queue with answers to its pings and asks for a search; the bus at the line's end
# answers it, and the search's report waits for room. The gateway must stay
# alive while it waits and end by the stall rule (its own line, status 1,
# restarted), never by the watchdog.
stall_search() {
  dir=/run/lab-stall && mkdir -p $dir
  # Small send buffers on the loopback, so that some thousand answers reach
  # the queue: by default the kernels take megabytes first, minutes of pings
  # under emulation.
  wmem=$(cat /proc/sys/net/ipv4/tcp_wmem)
  echo 4096 16384 65536 > /proc/sys/net/ipv4/tcp_wmem
  python3 "$repo/tools/lab/stall-search.py" $dir "$line" > $dir/server.log 2>&1 & stall_server=$!
  for _ in $(seq 50); do [ -s $dir/port ] && break; sleep 0.1; done
  printf '[settings]\nip=127.0.0.1\nport=%s\nuart=%s\ndirection=gpiochip\ngpio=pelko-de\n' \
    "$(cat $dir/port)" "$uart" > /etc/pelko/pelko.conf
  stall_since=$(date '+%Y-%m-%d %H:%M:%S')
  sj() { journalctl -u pelko.service --since "$stall_since" -o cat --no-pager "$@"; }
  timeout 60 systemctl start pelko.service
  # Filling takes some seconds, the search 8 s, the stall limit 60 s (90 s
  # where the kernel leaves a zero window alone); the restart 5 s after.
  for _ in $(seq 200); do sj | grep -q 'Main process exited' && break; sleep 1; done
  sleep 8
  sed 's/^/lab: /' $dir/server.log
  sj | grep -v '^[0-9]*$' | grep -v '^Mame tu nod' | tail -n 20 | sed 's/^/lab: /'
  check "stall during a search: the search ran" sj -g '^Prijat discovery packet$'
  check "stall during a search: its report waited for room" sj -g '^Send queue full \(1048576 B\)'
  check "stall during a search: \"Server took nothing for 60000 ms, connection given up\"" \
    sj -g '^Server took nothing for 60000 ms, connection given up$'
  check "stall during a search: status 1" sj -g 'Main process exited, code=exited, status=1/FAILURE'
  check "stall during a search: no watchdog time-out, no SIGABRT, no core dump" \
    test "$(sj | grep -cE 'Watchdog timeout|SIGABRT|code=dumped|status=6/ABRT')" = 0
  check "stall during a search: restarted by systemd" \
    test "$(systemctl show -P NRestarts pelko.service)" -ge 1 -a "$(systemctl show -P SubState pelko.service)" = running
  systemctl stop pelko.service
  kill $stall_server
  echo "$wmem" > /proc/sys/net/ipv4/tcp_wmem
}
stall_search
