#!/bin/bash
# Third boot: a PLL configuration with a bad line, reset pulse asked for,
# and a PPS device whose driver loads 30 s after power-on (board.late_pps).
# Then the packages removed, purged and installed again.
# shellcheck source=lib.sh
. /board/tests/lib.sh

packages=(/board/packages/*.deb)
names=()
for deb in "${packages[@]}"; do
	names+=("$(dpkg-deb -f "$deb" Package)")
done

uptime() {
	cut -d . -f 1 /proc/uptime
}

test_the_sender_waits_for_the_pps_device() {
	[ ! -e /dev/appint2 ] || not_ok "/dev/appint2 is there already"
	# Started again every 2 s until the device comes, never given up.
	while [ "$(uptime)" -lt 29 ]; do
		sleep 1
	done
	local restarts
	restarts=$(systemctl show -p NRestarts --value halvern@2.service)
	note "halvern@2 started again $restarts times by $(uptime) s"
	[ "$restarts" -ge 2 ] || not_ok "halvern@2 is not being started again"
	expect_eq "halvern@2 failed" no "$(systemctl is-failed -q halvern@2.service && echo yes || echo no)"
	[ ! -e /dev/appint2 ] || not_ok "/dev/appint2 came before the test loaded it"
}

# The file is checked whole before anything is sent: the bad line is named,
# and the chip is neither reset nor written.
test_a_bad_line_fails_only_the_pll_unit() {
	expect_eq "timing-pll.service" failed "$(systemctl is-active timing-pll.service)"
	local line journal
	line=$(grep -n -x $'X,0x0123\r' /etc/timing/bad.cfg | cut -d : -f 1)
	journal=$(journalctl -a -b -u timing-pll.service)
	echo "$journal" | grep -q "Error line $line: " ||
		not_ok "the journal does not name line $line: $(echo "$journal" | tail -n 5)"
	expect_eq "kv-ptp.service" active "$(systemctl is-active kv-ptp.service)"
	expect_eq "timing-clock.service" active "$(systemctl is-active timing-clock.service)"
	expect_eq "PLL registers written" "" "$(/board/bin/simctl registers 1)"
	expect_eq "reset register" 0x0000 "$(/board/bin/simctl reset)"
}

test_a_late_pps_device_is_taken_up() {
	sleep $((30 - $(uptime)))
	local from took
	from=$(tod_size)
	expect "modprobe sim_appint" modprobe sim_appint
	took=$(tod_first_string "$from" 10)
	[ -n "$took" ] || { not_ok "no ToD string within 10 s of the PPS device"; return; }
	note "first ToD string $took s after the PPS device appeared at $(uptime) s"
	tod_listen 2 /tmp/tod
	expect_tod_strings /tmp/tod 2
}

# Lists each package's own files, before they go.
dpkg -L "${names[@]}" | sort -u >/tmp/package-files

test_remove_stops_the_bring_up() {
	expect "apt-get remove" apt-get remove -y -q "${names[@]}"
	expect_bring_up_stopped
	local unit
	for unit in timing-support.target timing-pll.service kv-ptp.service timing-clock.service halvern@.service; do
		! systemctl cat "$unit" >/dev/null 2>&1 || not_ok "$unit is still known"
	done
	[ -e /etc/default/timing-support ] || not_ok "the configuration went with remove"
}

test_purge_leaves_no_file() {
	expect "apt-get purge" apt-get purge -y -q "${names[@]}"
	local path left=
	while read -r path; do
		{ [ -e "$path" ] || [ -L "$path" ]; } && [ ! -d "$path" ] && left="$left $path"
	done </tmp/package-files
	[ -z "$left" ] || not_ok "left behind:$left"
	left=$(find /etc /usr/src /usr/libexec /lib/systemd /lib/modules/*/updates \
		\( -name 'timing-*' -o -name '*kv-ptp*' -o -name '*kv_ptp*' -o -name 'halvern*' \) \
		! -path '*/depmod.d/*' 2>/dev/null)
	[ -z "$left" ] || not_ok "left behind: $left"
}

test_a_second_install_works() {
	expect "apt-get install" apt-get install -y -q "${packages[@]}"
	expect_eq "timing-support.target" enabled "$(systemctl is-enabled timing-support.target 2>&1)"
	expect "systemctl start timing-support.target" systemctl start timing-support.target
	expect_eq "timing-clock.service" active "$(systemctl is-active timing-clock.service)"
	tod_listen 3 /tmp/tod
	expect_tod_strings /tmp/tod 2
}

tod_start
run_test test_the_sender_waits_for_the_pps_device
run_test test_a_bad_line_fails_only_the_pll_unit
run_test test_a_late_pps_device_is_taken_up
run_test test_remove_stops_the_bring_up
run_test test_purge_leaves_no_file
run_test test_a_second_install_works
finish
