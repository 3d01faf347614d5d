# Sourced by guest.sh in the deployed group, after the package checks (the
# package installed, $chip the pelko-lab chip, $deb, $repo set): the root
# helper grants the pelko group the one chip that holds the direction line.
# Two more gpio-sim chips, pelko-other and pelko-other2, each with a line
# named pelko-twin; the gateway configured by label, by line name and by
# path; afterwards only the configured chip's node is the group's, the
# others are as they were. Then what the helper refuses, and a chip that
# comes after the service's start.

access_more_chips() {
  m=/sys/kernel/config/gpio-sim/more
  mkdir -p $m/bank0/line2 $m/bank1/line2 &&
    echo 8 > $m/bank0/num_lines && echo 8 > $m/bank1/num_lines &&
    echo pelko-other > $m/bank0/label && echo pelko-other2 > $m/bank1/label &&
    echo pelko-twin > $m/bank0/line2/name && echo pelko-twin > $m/bank1/line2/name &&
    echo 1 > $m/live || return 1
  others="/dev/$(cat $m/bank0/chip_name) /dev/$(cat $m/bank1/chip_name)"
  udevadm settle
  for n in $others; do [ -e "$n" ] || return 1; done
  echo "lab: more chips: $others (pelko-other, pelko-other2)"
}

dpkg -i "$deb" >/dev/null && systemctl daemon-reload
ac=/run/lab-access && mkdir -p $ac
python3 "$repo/tests/deploy-server.py" $ac & access_server=$!
for _ in $(seq 50); do [ -s $ac/port ] && break; sleep 0.1; done
access_conf() {  # access_conf SETTINGS: pelko.conf for this server, the gateway's port and these keys
  printf '[settings]\nip=127.0.0.1\nport=%s\nuart=%s\n%s\n' "$(cat $ac/port)" "$uart" "$1" > /etc/pelko/pelko.conf
}
access_state() { systemctl show -P "$1" pelko.service; }
access_modes() { for n in "$@"; do stat -c '%n %U:%G %a' "$n"; done; }
# Back to the kernel's own: root's, no group access; one of the others with
# the group "tty", to see that nothing resets it either.
access_reset() {
  systemctl stop pelko.service; systemctl reset-failed pelko.service 2>/dev/null
  for n in $chip $others; do chown root:root "$n" && chmod 600 "$n"; done
  chgrp tty "${others#* }" && chmod 640 "${others#* }"
}

if check "two more gpio-sim chips made" access_more_chips; then
  # granted TITLE SETTINGS: the service starts; $chip alone is the group's.
  granted() {
    access_reset
    before=$(access_modes $others)
    access_conf "$2"
    since=$(date '+%Y-%m-%d %H:%M:%S')
    timeout 60 systemctl start pelko.service
    after=$(access_modes $others)
    echo "lab: $1: $(access_modes $chip); others before: $before; after: $after" | tr '\n' ' '; echo
    check "$1: running" test "$(access_state SubState)" = running
    check "$1: only the configured chip is granted ($chip group pelko, group-writable; the other chips as they were)" \
      test "$(stat -c %G "$chip")" = pelko -a "$(stat -c %A "$chip" | cut -c5-6)" = rw -a "$before" = "$after"
    systemctl stop pelko.service
  }
  granted "gpio_chip=pelko-lab (label), gpio=5" "$(printf 'direction=gpiochip\ngpio_chip=pelko-lab\ngpio=5')"
  granted "gpio=pelko-de (line name, no chip)" "$(printf 'direction=gpiochip\ngpio=pelko-de')"
  granted "gpio_chip=$chip (path), gpio=5" "$(printf 'direction=gpiochip\ngpio_chip=%s\ngpio=5' "$chip")"

  # refused TITLE SETTINGS LINE: the start fails with LINE in the journal,
  # and no chip is granted.
  refused_start() {
    access_reset
    before=$(access_modes $chip $others)
    access_conf "$2"
    since=$(date '+%Y-%m-%d %H:%M:%S')
    timeout 60 systemctl start pelko.service && echo "lab: the start did not fail"
    sleep 1
    journalctl -u pelko.service --since "$since" -o cat --no-pager | tail -n 5 | sed 's/^/lab: /'
    check "$1: the service does not start, the journal has: $3" \
      journalctl -u pelko.service --since "$since" -o cat --no-pager -g "^$(printf '%s' "$3" | sed 's/[]\/$*.^[]/\\&/g')\$"
    check "$1: no chip granted" test "$before" = "$(access_modes $chip $others)" -a "$(access_state ExecMainPID)" = 0
  }
  refused_start "a line name on two chips" "$(printf 'direction=gpiochip\ngpio=pelko-twin')" \
    "GPIO line named \"pelko-twin\" on two chips, ${others%% *} and ${others#* }: name its chip in gpio_chip"
  refused_start "a label on no chip" "$(printf 'direction=gpiochip\ngpio_chip=pelko-none\ngpio=5')" \
    'no GPIO chip labelled "pelko-none" among /dev/gpiochip*'

  # A chip that comes later (a USB expander, a module loaded late): the
  # start fails, the restart (RestartSec=5) takes the chip once it is there.
  access_reset
  access_conf "$(printf 'direction=gpiochip\ngpio_chip=pelko-late\ngpio=late-de')"
  since=$(date '+%Y-%m-%d %H:%M:%S')
  timeout 60 systemctl start pelko.service && echo "lab: the start did not fail"
  check "a chip not there yet: the start fails with the gateway's line" \
    journalctl -u pelko.service --since "$since" -o cat --no-pager -g '^no GPIO chip labelled "pelko-late" among /dev/gpiochip\*$'
  l=/sys/kernel/config/gpio-sim/late
  mkdir -p $l/bank0/line3 && echo 4 > $l/bank0/num_lines && echo pelko-late > $l/bank0/label &&
    echo late-de > $l/bank0/line3/name && echo 1 > $l/live
  late=/dev/$(cat $l/bank0/chip_name)
  for _ in $(seq 60); do [ "$(access_state SubState)" = running ] && break; sleep 0.5; done
  journalctl -u pelko.service --since "$since" -o cat --no-pager | tail -n 4 | sed 's/^/lab: /'
  check "a chip that comes later ($late): the restart starts the service once it is there" \
    test "$(access_state SubState)" = running -a "$(stat -c %G "$late")" = pelko
  check "a chip that comes later: only the configured chip is granted" \
    test "$(stat -c %G "$chip")" = root
  access_reset
fi
kill $access_server
