#!/bin/bash
# First boot of the Debian board: the board's packages installed offline
# as an administrator would, what that sets up, and the bring-up
# configured for the next boot (bring-up.sh).
# shellcheck source=lib.sh
. /board/tests/lib.sh

packages=(/board/packages/*.deb)
units=(timing-support.target timing-pll.service kv-ptp.service timing-clock.service)

test_apt_installs_the_packages_offline() {
	expect "apt-get install" apt-get install -y -q "${packages[@]}"
	expect_installed "${packages[@]}"
}

test_the_groups_are_system_groups() {
	local group gid
	for group in kv_ptp timing-tod; do
		gid=$(getent group $group | cut -d : -f 3)
		[ "${gid:-1000}" -lt 1000 ] || not_ok "group $group: '$(getent group $group)'"
	done
}

test_the_bring_up_is_enabled_with_the_sender_on_ttyS2() {
	local unit
	for unit in "${units[@]}"; do
		expect_eq "$unit" enabled "$(systemctl is-enabled "$unit" 2>&1)"
	done
	systemctl show -p Wants --value timing-support.target | grep -q -w 'halvern@2.service' ||
		not_ok "timing-support.target wants: $(systemctl show -p Wants --value timing-support.target)"
}

# The ToD port and the PPS device were there before the install.
test_udev_gives_the_nodes_to_their_groups() {
	expect "systemctl start kv-ptp.service" systemctl start kv-ptp.service
	local node
	for node in /dev/kv_ptp{0,1,2,3,4}:kv_ptp /dev/ttyS2:timing-tod /dev/appint2:timing-tod; do
		expect_eq "${node%:*}" "root:${node#*:} 660" "$(stat -c '%U:%G %a' "${node%:*}" 2>&1)"
	done
}

test_the_client_reads_the_pps_time() {
	local time
	time=$(kv-ptp-ctl pps-time 1 2>&1)
	echo "$time" | grep -q -E -x '[0-9]+\.[0-9]{9}' || not_ok "kv-ptp-ctl pps-time 1: '$time'"
}

# The next boot loads the sample configuration, with the reset pulse.
test_the_configuration_is_filled_in() {
	expect "configuration file" install -D -m 0644 /board/samples/vkc-pll.cfg /etc/timing/vkc-pll.cfg
	expect "defaults" sed -i 's|^PLL_CONFIG=.*|PLL_CONFIG=/etc/timing/vkc-pll.cfg|' /etc/default/timing-support
	expect_eq "PLL_CONFIG" "PLL_CONFIG=/etc/timing/vkc-pll.cfg" "$(grep '^PLL_CONFIG=' /etc/default/timing-support)"
}

run_test test_apt_installs_the_packages_offline
run_test test_the_groups_are_system_groups
run_test test_the_bring_up_is_enabled_with_the_sender_on_ttyS2
run_test test_udev_gives_the_nodes_to_their_groups
run_test test_the_client_reads_the_pps_time
run_test test_the_configuration_is_filled_in
finish
