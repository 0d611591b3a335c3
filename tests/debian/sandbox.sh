#!/bin/bash
# Fourth boot: from inside the sandboxes the package ships, what a unit's
# step does not need is refused, and what it needs is not. A runtime
# drop-in replaces only ExecStart with the probe (sandbox-probe), so the
# probe runs with everything else the unit has; the unit is put back after.
# shellcheck source=lib.sh
. /board/tests/lib.sh

# Runs the probe in unit $1 on the paths $2...; its report is in $probe_log.
probe_log=/tmp/probe
probe_in() {
	local unit=$1 dropin=/run/systemd/system/$1.d since
	shift
	mkdir -p "$dropin"
	printf '[Service]\nExecStart=\nExecStart=/bin/bash /board/tests/sandbox-probe %s\n' "$*" >"$dropin/probe.conf"
	systemctl daemon-reload
	since=$(date '+%F %T')
	sleep 1
	systemctl restart "$unit" || not_ok "$unit with the probe did not start"
	# A oneshot unit's probe has ended when restart returns; the sender's
	# ends on its own.
	local tries=0
	while [ "$(systemctl show -p SubState --value "$unit")" = running ] && [ $((tries += 1)) -le 100 ]; do
		sleep 0.1
	done
	journalctl --sync
	journalctl -u "$unit" -o cat --since "$since" | sed -n 's/^probe: //p' >"$probe_log"
	sed 's/^/  /' "$probe_log"
	rm -rf "$dropin"
	systemctl daemon-reload
	systemctl restart "$unit"
	expect_eq "$unit after the probe" active "$(systemctl is-active "$unit")"
}

# expect_probe VERDICT PATH...: the probe's verdict on each PATH, opened or
# refused.
expect_probe() {
	local verdict=$1 path line
	shift
	for path; do
		line=$(grep -F -m 1 " $path" "$probe_log")
		[ "${line%% *}" = "$verdict" ] || not_ok "$path: expected $verdict, the probe says '${line:-nothing}'"
	done
}

# Not root, with its unit's group alone; /dev/ttyS1 is of that group too.
test_the_tod_sender_as_its_own_user_reaches_only_its_port_the_pps_device_and_the_clock_query() {
	local unit=halvern@2.service
	probe_in $unit /dev/ttyS2 /dev/appint2 /dev/mem /dev/ttyS1 /dev/kv_ptp0 \
		/etc/sandbox-probe /etc/default/timing-support clock-query clock-set
	expect_probe "user:$(systemctl show -p Group --value $unit)" identity
	expect_probe opened clock-query /dev/ttyS2 /dev/appint2
	expect_probe refused clock-set /dev/mem /dev/ttyS1 /dev/kv_ptp0 /etc/sandbox-probe /etc/default/timing-support
}

test_the_clock_unit_reaches_only_the_kv_ptp_nodes() {
	probe_in timing-clock.service /dev/kv_ptp0 /dev/spidev1.1 /dev/mem /etc/sandbox-probe
	expect_probe opened /dev/kv_ptp0
	expect_probe refused /dev/spidev1.1 /dev/mem /etc/sandbox-probe
}

run_test test_the_tod_sender_as_its_own_user_reaches_only_its_port_the_pps_device_and_the_clock_query
run_test test_the_clock_unit_reaches_only_the_kv_ptp_nodes
finish
