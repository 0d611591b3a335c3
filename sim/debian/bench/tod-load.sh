#!/bin/bash
# A benchmark boot of the Debian board, not a test: the packages installed,
# the timing bring-up started as at boot, then halvern@2's time from the PPS
# read's return to the end of its serial write, on an idle board and with
# every CPU busy (halvern_bench --pid), for halvern@2 as its unit starts it
# and with the other scheduling policy put in by a drop-in.
# 1000 PPS each, the fewest a p99.9 needs, a second apart as the sender
# takes them: a busy second costs about 0.24 s of the host's time under
# instruction counting, so each policy takes about 4 minutes, an idle
# second next to nothing.
# Figures are lines "bench: ..."; each measurement is a TAP result
# (tests/debian/lib.sh).
set -o pipefail  # a run counts by halvern_bench's status, not by grep's
# shellcheck source=../../../tests/debian/lib.sh
. /board/tests/lib.sh
events=1000
unit=halvern@2.service
dropin=/run/systemd/system/$unit.d

# The sender restarted with what the unit says now, and measured.
measure() {
	local label=$1 pid
	systemctl daemon-reload
	systemctl restart "$unit"
	pid=$(systemctl show -P MainPID "$unit")
	if [ "${pid:-0}" -eq 0 ]; then
		not_ok "bench: tod $label: $unit did not start"
		note "$(systemctl status --no-pager "$unit" | tail -n 5)"
		return
	fi
	echo "bench: tod $label: $unit runs as pid $pid, $(chrt -p "$pid" | tr '\n' ' ')"
	/board/bin/halvern_bench --pid "$pid" "$label" "$events" | grep -E '^bench: ' || test_failed=1
}

test_the_packages_install() {
	apt-get install -y -q /board/packages/*.deb >/tmp/apt.log 2>&1 ||
		{ not_ok "apt-get install failed"; note "$(tail -n 20 /tmp/apt.log)"; }
}
measure_the_shipped_unit() { measure "shipped-$shipped"; }
measure_the_other_policy() { measure "$other"; }

run_test test_the_packages_install
[ "$failed" -eq 0 ] || { finish; exit; }
systemctl start timing-support.target

# systemctl shows the policy as its number: 1 is SCHED_FIFO.
case $(systemctl show -P CPUSchedulingPolicy "$unit") in
1 | fifo) shipped=fifo ;;
*) shipped=other ;;
esac
run_test measure_the_shipped_unit
mkdir -p "$dropin"
if [ "$shipped" = fifo ]; then
	printf '[Service]\nCPUSchedulingPolicy=other\n' >"$dropin/bench.conf"
	other=other
else
	printf '[Service]\nCPUSchedulingPolicy=fifo\nCPUSchedulingPriority=50\n' >"$dropin/bench.conf"
	other=fifo
fi
run_test measure_the_other_policy
rm -rf "$dropin"
finish
