#!/bin/bash
# Fifth boot: the timing chain as the field runs it. The board boots with
# its clock unsynchronised and no daemon to keep it (board.unsync), so the
# ToD waits. Then phc2sys steers the system clock from the simulated PTP
# clock /dev/ptp0, whose whole seconds (TAI) the PPS marks; each string
# must name the UTC second of its edge, as kv-ptp-ctl watch reports the
# edge, through a stop of the pulses and a step of the PTP clock.
# shellcheck source=lib.sh
. /board/tests/lib.sh

tai_offset=37
knobs=/sys/kernel/debug/sim_appint
daemon=chain-phc2sys.service

# Whether the kernel calls the system clock synchronised, as halvern asks
# it. (timedated's NTPSynchronized looks only at the maximum error.)
synchronised() {
	/board/bin/simctl synced
}

# now_s: the monotonic clock in seconds, for the figures.
now_s() {
	cut -d ' ' -f 1 /proc/uptime
}

sender_journal() {
	journalctl --sync
	journalctl -a -b -u halvern@2.service -o cat
}

test_before_any_daemon_the_boot_ends_and_nothing_is_sent() {
	local state from
	state=$(timeout 120 systemctl is-system-running --wait)
	expect_eq "the system" running "$state"
	[ "$state" = running ] || systemctl --failed --plain --no-legend | sed 's/^/#   /'
	expect_eq "halvern@2.service" active "$(systemctl is-active halvern@2.service)"
	synchronised && not_ok "the clock is synchronised before any daemon runs"
	from=$(tod_size)
	sleep 3
	expect_eq "bytes on the ToD line" 0 "$(tod_size)"
	[ "$from" -eq 0 ] || not_ok "$from bytes came before the test listened"
	systemctl status halvern@2.service 2>&1 | grep -q "Waiting for the kernel to call the system clock synchronised" ||
		not_ok "systemctl status does not say what halvern waits for: $(systemctl status halvern@2.service | tail -n 3)"
}

# The flag may flicker as phc2sys starts: its leap-second set-up clears
# STA_UNSYNC, and the kernel sets it again at the next second while the
# maximum error is still 16 s, until the servo locks. The first string is
# timed from the last time the clock became synchronised before it.
test_phc2sys_synchronises_the_clock_and_the_tod_follows() {
	local start now synced_at='' flips=0 state=0
	start=$(now_s)
	# The PTP clock keeps TAI: UTC is 37 s behind. -S 0.5 lets it step the
	# clock after the first time too, as a step of the PTP clock needs.
	expect "phc2sys" systemd-run --unit="$daemon" /usr/sbin/phc2sys -s /dev/ptp0 -c CLOCK_REALTIME \
		-O -"$tai_offset" -S 0.5 -m -q
	while [ "$(tod_size)" -lt "$t1_length" ]; do
		now=$(now_s)
		if synchronised; then
			[ "$state" = 1 ] || { synced_at=$now state=1 flips=$((flips + 1)); }
		else
			synced_at='' state=0
		fi
		awk -v now="$now" -v start="$start" 'BEGIN { exit !(now - start > 30) }' &&
			{ not_ok "no ToD string 30 s after phc2sys started"; return; }
		sleep 0.1
	done
	now=$(now_s)
	[ -n "$synced_at" ] || { not_ok "a ToD string came while the clock was unsynchronised"; return; }
	local took
	took=$(awk -v a="$now" -v b="$synced_at" 'BEGIN { printf "%.1f", a - b }')
	note "clock synchronised $(awk -v a="$synced_at" -v b="$start" 'BEGIN { printf "%.1f", a - b }') s" \
		"after phc2sys started (the flag cleared $flips times); first ToD string $took s after that"
	awk -v t="$took" 'BEGIN { exit !(t <= 3) }' || not_ok "the first ToD string came $took s after the clock was synchronised"
}

# watch_edges N EDGES STRINGS [COMMAND...]: the next N PPS edges as the PTP
# clock saw them into EDGES, and the N strings sent for them into STRINGS,
# one a line; COMMAND runs between the first edge and the second. Begun
# half a second after an edge, so no string is on its way then.
watch_edges() {
	local count=$1 edges=$2 strings=$3 from watcher
	shift 3
	tod_wait_half_second
	from=$(tod_size)
	kv-ptp-ctl watch -c "$count" 1 >"$edges" &
	watcher=$!
	if [ $# -gt 0 ]; then
		sleep 1
		"$@"
	fi
	wait "$watcher" || not_ok "kv-ptp-ctl watch -c $count failed"
	sleep 0.5
	head -c "$(tod_size)" "$tod_log" | tail -c +$((from + 1)) | fold -w "$t1_length" | head -n "$count" >"$strings"
}

# edge_names EDGES: the T1 string of each edge's UTC second, the edge taken
# to the nearest second of the PTP clock.
edge_names() {
	awk -v tai="$tai_offset" '$1 ~ /^[0-9]+\.[0-9]+$/ && $2 ~ /^[-+]/ {
		split($1, t, "."); print t[1] + (t[2] >= 500000000) - tai }' "$1" |
		while read -r second; do date -u -d "@$second" +T1%H%M%S%m%d%YZ0000; done
}

# Each string against its edge, in order: the lines that differ, with the
# edge's number from 1.
mismatches() {
	paste -d ' ' <(edge_names "$1") "$2" | awk '$1 != $2 { print NR, "edge", $1, "string", $2 }'
}

test_every_string_names_the_second_of_its_edge() {
	local phase bad
	for phase in -300000 300000; do
		echo "$phase" >"$knobs/phase_ns"
		watch_edges 30 /tmp/edges /tmp/strings
		expect_eq "edges at $phase ns" 30 "$(grep -c -E '^[0-9]+\.[0-9]{9} ' /tmp/edges)"
		expect_eq "strings at $phase ns" 30 "$(grep -c -x -E 'T1[0-9]{14}Z0000' /tmp/strings)"
		bad=$(mismatches /tmp/edges /tmp/strings)
		[ -z "$bad" ] || not_ok "edge at $phase ns: $(echo "$bad" | head -n 3 | tr '\n' ';')"
	done
	echo 0 >"$knobs/phase_ns"
}

test_a_stop_is_reported_and_fails_the_watch_and_the_gap_is_named() {
	local status
	echo 0 >"$knobs/timer"
	timeout 10 kv-ptp-ctl watch -t 3 1 >/dev/null 2>&1
	status=$?
	sleep 2
	# While the pulses are still missing.
	sender_journal | grep -q "No PPS for 2 s, still waiting on /dev/appint2" ||
		not_ok "no silence report in the journal: $(sender_journal | tail -n 3)"
	echo 1 >"$knobs/timer"
	expect_eq "kv-ptp-ctl watch -t 3 with the PPS stopped" 1 "$status"
	sleep 2.5
	local gap
	gap=$(sender_journal | grep -o -E "PPS back after [0-9.]+ s, [0-9]+ PPS missed" | tail -n 1)
	note "${gap:-no gap report}"
	echo "$gap" | grep -q -E ", ([4-9]|10) PPS missed" || not_ok "the gap report does not name 4 to 10 missed pulses"
}

step_ptp_clock() {
	phc_ctl /dev/ptp0 adj 2 | sed 's/^/#   /'
}

test_a_step_of_the_ptp_clock_is_followed_within_10_s() {
	local bad last
	watch_edges 13 /tmp/edges /tmp/strings step_ptp_clock
	expect_eq "strings across the step" 13 "$(grep -c . /tmp/strings)"
	bad=$(mismatches /tmp/edges /tmp/strings)
	note "across a step of the PTP clock by +2 s after edge 1:" "${bad:-every string named its edge}"
	last=$(echo "$bad" | tail -n 1 | cut -d ' ' -f 1)
	[ "${last:-0}" -le 11 ] || not_ok "strings still name other seconds than their edges 10 s after the step"
}

# The daemon's offset while locked (s2), over the suite, in nanoseconds.
test_the_daemon_offsets() {
	journalctl --sync
	journalctl -b -u "$daemon" -o cat |
		awk '{ for (i = 1; i + 2 <= NF; i++) if ($i == "offset" && $(i + 2) == "s2") print ($(i + 1) < 0 ? -$(i + 1) : $(i + 1)) }' |
		sort -n | awk '{ v[NR] = $1 } END {
			if (NR == 0) { print "# no locked offsets"; exit 1 }
			printf "# phc2sys offset while locked, %d samples: median %d ns, worst %d ns\n", NR, v[int((NR + 1) / 2)], v[NR] }' ||
		test_failed=1
}

tod_start
run_test test_before_any_daemon_the_boot_ends_and_nothing_is_sent
run_test test_phc2sys_synchronises_the_clock_and_the_tod_follows
run_test test_every_string_names_the_second_of_its_edge
run_test test_a_stop_is_reported_and_fails_the_watch_and_the_gap_is_named
run_test test_a_step_of_the_ptp_clock_is_followed_within_10_s
run_test test_the_daemon_offsets
systemctl stop "$daemon"
finish
