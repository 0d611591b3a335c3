# shellcheck shell=bash
# Shared by the Debian board's suites (sim/debian/run.sh boots each once,
# in order, on one disk): named tests with checks that report and go on,
# their results as a TAP stream (scripts/tap-lib.sh reads it on the host),
# and the ToD line as the Kestle device sees it. Sourced.
passed=0
failed=0
test_failed=0
echo "TAP version 13"

# Runs the test function $1 and counts it: its TAP result line.
run_test() {
	test_failed=0
	"$1"
	if [ "$test_failed" -eq 0 ]; then
		passed=$((passed + 1))
		echo "ok $((passed + failed)) - $1"
	else
		failed=$((failed + 1))
		echo "not ok $((passed + failed)) - $1"
	fi
}

# note TEXT: a line for the reader, a TAP comment.
note() {
	printf '%s\n' "$*" | sed 's/^/# /'
}

not_ok() {
	note "$@"
	test_failed=1
}

# expect WHAT COMMAND...: the command succeeds; its last lines show if not.
expect() {
	local what=$1 output
	shift
	output=$("$@" 2>&1) || { not_ok "$what: '$*' failed:"; echo "$output" | tail -n 8 | sed 's/^/#     /'; }
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
	[ "$2" = "$3" ] || not_ok "$1: expected '$2', got '$3'"
}

# Ends the suite with its TAP plan: a suite cut short has none, and fails.
finish() {
	echo "1..$((passed + failed))"
}

# Each package file $@ is installed, at its version.
expect_installed() {
	local deb name
	for deb in "$@"; do
		name=$(dpkg-deb -f "$deb" Package)
		expect_eq "$name" "install ok installed $(dpkg-deb -f "$deb" Version)" \
			"$(dpkg-query -W -f '${Status} ${Version}' "$name" 2>&1)"
	done
}

# The bring-up is down: no ToD sender, no kv_ptp.
expect_bring_up_stopped() {
	[ -z "$(pidof halvern)" ] || not_ok "halvern still runs"
	[ ! -e /sys/module/kv_ptp ] || not_ok "kv_ptp is still loaded"
}

# The PLL chip holds what configuration file $1 writes.
expect_pll_registers() {
	local expected actual
	expected=$(expected_registers "$1")
	actual=$(/board/bin/simctl registers 1)
	[ "$expected" = "$actual" ] ||
		not_ok "registers differ: $(diff <(echo "$expected") <(echo "$actual") | head -n 6 | tr '\n' ' ')"
}

# The PLL registers that configuration file $1 writes, as "simctl registers"
# lists them: the last value of each address, in address order.
expected_registers() {
	tr -d '\r' <"$1" | while IFS=, read -r command address value _; do
		[ "$command" = X ] && printf '0x%03x 0x%02x\n' $((address)) $((value & 0xFF))
	done | awk '{ value[$1] = $2 } END { for (a in value) print a, value[a] }' | sort
}

# ---- the ToD line: ttyS2 is looped to ttyS3 on this board ------------------

tod_far_end=/dev/ttyS3
t1_length=21

tod_log=/tmp/tod-line

# Keeps the far end open for the rest of the suite and copies all that
# arrives into $tod_log: while the port is closed, bytes wait in the UART
# and in the host's loop and come late, when it opens.
tod_start() {
	stty -F "$tod_far_end" 115200 raw -echo
	cat "$tod_far_end" >"$tod_log" &
	sleep 1
}

tod_size() {
	stat -c %s "$tod_log"
}

# The strings leave at the PPS, on whole seconds of the clock: half a second
# on, none is on its way.
tod_wait_half_second() {
	local ns
	ns=$(date +%N)
	sleep "$(awk -v ns=$((10#$ns)) 'BEGIN { printf "%.3f", ((1.5e9 - ns) % 1e9) / 1e9 }')"
}

# What arrives at the far end in the next $1 whole seconds, from half a
# second on, into file $2: no string is cut by the start or the end.
tod_listen() {
	local from
	tod_wait_half_second
	from=$(tod_size)
	sleep "$1"
	tod_since "$from" "$2"
}

# What arrived after the first $1 bytes, into file $2.
tod_since() {
	head -c "$(tod_size)" "$tod_log" | tail -c +$(($1 + 1)) >"$2"
}

# Seconds until a whole T1 string more than $1 bytes came (tod_size before
# the event), at most $2; prints nothing when none came.
tod_first_string() {
	local from=$1 start=$EPOCHREALTIME took
	while [ "$(tod_size)" -lt $((from + t1_length)) ]; do
		took=$(awk -v now="$EPOCHREALTIME" -v start="$start" 'BEGIN { print now - start }')
		awk -v t="$took" -v most="$2" 'BEGIN { exit !(t > most) }' && return 0
		sleep 0.1
	done
	awk -v now="$EPOCHREALTIME" -v start="$start" 'BEGIN { printf "%.1f\n", now - start }'
}

# Checks that file $1 holds nothing but whole T1 strings, at least $2, one a
# second, the last of them no more than 2 s before now.
expect_tod_strings() {
	local file=$1 least=$2 size bad
	size=$(stat -c %s "$file")
	if [ $((size % t1_length)) -ne 0 ] || [ $((size / t1_length)) -lt "$least" ]; then
		not_ok "$size bytes on the ToD line, not $least or more whole strings: '$(head -c 120 "$file")'"
		return
	fi
	bad=$(fold -w "$t1_length" "$file" | grep -v -E -x 'T1[0-9]{14}Z0000')
	[ -z "$bad" ] || { not_ok "not T1 strings: '$bad'"; return; }
	fold -w "$t1_length" "$file" | awk -v now="$(date -u +%H%M%S)" '
		function seconds(hhmmss) {
			return substr(hhmmss, 1, 2) * 3600 + substr(hhmmss, 3, 2) * 60 + substr(hhmmss, 5, 2)
		}
		{ t = seconds(substr($0, 3, 6)) }
		NR > 1 && (t - last + 86400) % 86400 != 1 { print "# not one a second: " prev " then " $0; bad = 1 }
		{ last = t; prev = $0 }
		END {
			if ((seconds(now) - last + 86400) % 86400 > 2) { print "# the last string " prev " is older than 2 s"; bad = 1 }
			exit bad
		}' || test_failed=1
}
