#!/bin/bash
# Second boot: the bring-up configured by install.sh has run without any
# manual step. Leaves a configuration with a bad line, reset pulse asked
# for, for the next boot (late-pps.sh).
# shellcheck source=lib.sh
. /board/tests/lib.sh

test_the_board_came_up_without_a_failed_unit() {
	expect_eq "failed units" "" "$(systemctl --failed --plain --no-legend)"
	local unit
	for unit in timing-support.target timing-pll.service kv-ptp.service timing-clock.service halvern@2.service; do
		expect_eq "$unit" active "$(systemctl is-active "$unit")"
	done
}

test_the_pll_chip_holds_the_configuration() {
	expect_pll_registers /etc/timing/vkc-pll.cfg
	# From all bits clear at power-on, VKC's reset bit (11) is set again.
	expect_eq "reset register" 0x0800 "$(/board/bin/simctl reset)"
}

test_the_clock_is_set_up() {
	expect_eq "SoC registers" "$(cat /board/tests/clock-registers.txt)" "$(/board/bin/simctl soc ptp bts gpio)"
}

test_one_whole_t1_string_a_second() {
	tod_listen 3 /tmp/tod
	expect_tod_strings /tmp/tod 3
}

test_the_port_is_raw_without_echo() {
	local settings
	settings=$(stty -F /dev/ttyS2 -a)
	local want
	for want in 'speed 115200 baud' -echo -icanon -opost -icrnl cs8; do
		echo "$settings" | grep -q -w -e "$want" || not_ok "ttyS2 is not $want: $settings"
	done
	# What the far end sends into ttyS2 must not come back out.
	tod_listen 3 /tmp/tod &
	sleep 2
	printf 'SENT INTO TTYS2\n' >"$tod_far_end"
	wait $!
	expect_tod_strings /tmp/tod 2
}

test_a_killed_sender_sends_again_within_seconds() {
	local pid after took from
	pid=$(systemctl show -p MainPID --value halvern@2.service)
	[ "$pid" -gt 0 ] || { not_ok "halvern@2 has no main process"; return; }
	tod_wait_half_second
	from=$(tod_size)
	kill -9 "$pid"
	took=$(tod_first_string "$from" 8)
	[ -n "$took" ] || { not_ok "no ToD string within 8 s of kill -9"; return; }
	note "next ToD string $took s after kill -9"
	after=$(systemctl show -p MainPID --value halvern@2.service)
	[ "$after" != "$pid" ] || not_ok "the same process $pid still runs"
	awk -v t="$took" 'BEGIN { exit !(t <= 5) }' || not_ok "the next string took $took s"
}

# The next boot: a configuration with a bad line after 100 writes, with the
# reset pulse; the PPS device's driver comes 30 s late (run.sh).
test_a_bad_configuration_is_filled_in() {
	awk '{ print } /^X,/ && ++writes == 100 { print "X,0x0123\r" }' /etc/timing/vkc-pll.cfg >/etc/timing/bad.cfg
	sed -i -e 's|^PLL_CONFIG=.*|PLL_CONFIG=/etc/timing/bad.cfg|' -e 's|^PLL_RESET=.*|PLL_RESET=yes|' \
		/etc/default/timing-support
	expect_eq "writes before the bad line" 100 "$(sed -n '/^X,0x0123\r$/q; /^X,/p' /etc/timing/bad.cfg | wc -l)"
}

tod_start
run_test test_the_board_came_up_without_a_failed_unit
run_test test_the_pll_chip_holds_the_configuration
run_test test_the_clock_is_set_up
run_test test_one_whole_t1_string_a_second
run_test test_the_port_is_raw_without_echo
run_test test_a_killed_sender_sends_again_within_seconds
run_test test_a_bad_configuration_is_filled_in
finish
