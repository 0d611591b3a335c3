#!/bin/bash
# A benchmark boot of the Debian board, not a test: the packages installed,
# the timing bring-up started as at boot, then halvern@2's time from the PPS
# read's return to the end of its serial write, on an idle board and with
# every CPU busy (halvern_bench --pid), for halvern@2 as its unit starts it
# and with the other scheduling policy put in by a drop-in.
# Figures are lines "bench: ...".
set -o pipefail  # a run counts by halvern_bench's status, not by grep's
events=5000
unit=halvern@2.service
dropin=/run/systemd/system/$unit.d
passed=0
failed=0

# The sender restarted with what the unit says now, and measured.
measure() {
	local label=$1 pid
	systemctl daemon-reload
	systemctl restart "$unit"
	pid=$(systemctl show -P MainPID "$unit")
	if [ "${pid:-0}" -eq 0 ]; then
		echo "bench: tod $label: $unit did not start"
		systemctl status --no-pager "$unit" | tail -n 5
		failed=$((failed + 1))
		return
	fi
	echo "bench: tod $label: $unit runs as pid $pid, $(chrt -p "$pid" | tr '\n' ' ')"
	if /board/bin/halvern_bench --pid "$pid" "$label" "$events" | grep -E '^bench: '; then
		passed=$((passed + 1))
	else
		failed=$((failed + 1))
	fi
}

if ! apt-get install -y -q /board/packages/*.deb >/tmp/apt.log 2>&1; then
	tail -n 20 /tmp/apt.log
	echo "board result: 0 passed, 1 failed"
	exit
fi
systemctl start timing-support.target

# systemctl shows the policy as its number: 1 is SCHED_FIFO.
case $(systemctl show -P CPUSchedulingPolicy "$unit") in
1 | fifo) shipped=fifo ;;
*) shipped=other ;;
esac
measure "shipped-$shipped"
mkdir -p "$dropin"
if [ "$shipped" = fifo ]; then
	printf '[Service]\nCPUSchedulingPolicy=other\n' >"$dropin/bench.conf"
	measure other
else
	printf '[Service]\nCPUSchedulingPolicy=fifo\nCPUSchedulingPriority=50\n' >"$dropin/bench.conf"
	measure fifo
fi
rm -rf "$dropin"
echo "board result: $passed passed, $failed failed"
