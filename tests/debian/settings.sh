#!/bin/bash
# Fifth boot: on hostile settings files the generator falls in with what
# systemd itself hands the units (EnvironmentFile=): the halvern@ it adds
# to timing-support.target, the TOD_TTY timing-pll and halvern@ get, and
# the morrask call pll-load makes of its environment. Runtime drop-ins
# replace the units' ExecStart with a probe that keeps their environment
# (pll-load still runs, against a stand-in morrask); the file and the units
# are put back after.
# shellcheck source=lib.sh
. /board/tests/lib.sh

settings=/etc/default/timing-support
seen=/run/settings-probe
cp "$settings" /tmp/settings.orig
mkdir -p "$seen" /run/systemd/system/timing-pll.service.d /run/systemd/system/halvern@.service.d
printf '#!/bin/sh\nprintf "[%%s]" "$@" >>%s/morrask\necho >>%s/morrask\n' "$seen" "$seen" >"$seen/stand-in"
chmod +x "$seen/stand-in"
printf '[Service]\nReadWritePaths=%s\nEnvironment=MORRASK=%s/stand-in\nExecStart=\nExecStart=/bin/sh -c %s\n' \
	"$seen" "$seen" "'env >$seen/pll.env; exec /usr/libexec/timing-support/pll-load'" \
	>/run/systemd/system/timing-pll.service.d/probe.conf
printf '[Service]\nReadWritePaths=%s\nExecStart=\nExecStart=/bin/sh -c %s\n' "$seen" "'env >$seen/halvern.env'" \
	>/run/systemd/system/halvern@.service.d/probe.conf

# with FILE UNIT TOD_TTY CALL SAID: with the settings FILE (printf's
# format), the generator adds UNIT (empty: none) and logs a line with SAID;
# both units get TOD_TTY (a line of env, or unset) and pll-load's last
# morrask call is CALL (empty: none).
with() {
	local unit env took
	# shellcheck disable=SC2059 # the file is a format, for \0 and \r
	printf "$1" >"$settings"
	dmesg -C
	took=$( { TIMEFORMAT=%R; time /lib/systemd/system-generators/timing-support-generator "$seen/gen"; } 2>&1)
	note "the generator took $took s"
	awk -v t="$took" 'BEGIN { exit !(t < 3) }' || not_ok "the generator took $took s"
	systemctl daemon-reload
	unit=$(ls /run/systemd/generator/timing-support.target.wants 2>/dev/null)
	expect_eq "timing-support.target wants" "$2" "$unit"
	rm -f "$seen"/*.env "$seen/morrask"
	systemctl restart timing-pll.service "${unit:-halvern@2.service}"
	for env in pll halvern; do
		expect_eq "$env: TOD_TTY" "$3" "$(grep -x 'TOD_TTY=.*' "$seen/$env.env" || echo unset)"
	done
	expect_eq "morrask" "$4" "$(tail -n 1 "$seen/morrask" 2>/dev/null)"
	dmesg | grep -q -F -e "$5" || not_ok "no '$5' in the kernel log: $(dmesg | grep timing-support)"
}

test_a_comment_may_hold_any_byte() {
	with '# café\n# caf\xe9\nPLL_CONFIG=/p.cfg\nPLL_RESET=no\nTOD_TTY=3\n' halvern@3.service TOD_TTY=3 \
		'[-r][-b][VKC][/p.cfg]' ''
}

test_crs_end_lines() {
	with 'PLL_CONFIG=/p.cfg\r\nPLL_BIT_ORDER=msb\rTOD_TTY=3\r\n' halvern@3.service TOD_TTY=3 \
		'[-b][VKC][-m][msb][/p.cfg]' ''
}

test_other_names_reach_the_units_but_change_nothing() {
	with 'FOO=bar\nexport TOD_TTY=1\nPLL_CONFIG=/p.cfg\nTOD_TTY=3\n' halvern@3.service TOD_TTY=3 \
		'[-b][VKC][/p.cfg]' 'unknown setting FOO'
	grep -q -x FOO=bar "$seen/halvern.env" || not_ok "FOO=bar is not in halvern@'s environment"
	! grep -q TOD_TTY=1 "$seen/halvern.env" || not_ok "halvern@ has export TOD_TTY"
}

test_an_odd_tod_tty_starts_no_sender() {
	with 'PLL_CONFIG=/p.cfg\nTOD_TTY="3"\n' '' TOD_TTY=3 '[-b][VKC][/p.cfg]' 'no ToD sender started'
}

test_a_nul_byte_leaves_every_default() {
	with 'PLL_CONFIG=/p.cfg\nTOD_TTY=3\n\0\n' halvern@2.service unset '' 'holds a NUL byte'
}

test_a_value_not_utf8_leaves_every_default() {
	with 'PLL_CONFIG=/p\xff.cfg\nTOD_TTY=3\n' halvern@2.service unset '' 'not UTF-8 in the setting of line 1'
}

test_a_1_mb_line_is_quick() {
	with "# $(head -c 1000000 /dev/zero | tr '\0' a)\nPLL_CONFIG=/p.cfg\nTOD_TTY=3\n" halvern@3.service TOD_TTY=3 \
		'[-b][VKC][/p.cfg]' ''
}

run_test test_a_comment_may_hold_any_byte
run_test test_crs_end_lines
run_test test_other_names_reach_the_units_but_change_nothing
run_test test_an_odd_tod_tty_starts_no_sender
run_test test_a_nul_byte_leaves_every_default
run_test test_a_value_not_utf8_leaves_every_default

test_the_bring_up_is_put_back() {
	cp /tmp/settings.orig "$settings"
	rm -rf /run/systemd/system/timing-pll.service.d /run/systemd/system/halvern@.service.d "$seen"
	systemctl daemon-reload
	systemctl stop halvern@3.service
	systemctl restart timing-pll.service halvern@2.service
	expect_eq "halvern@2" active "$(systemctl is-active halvern@2.service)"
}

run_test test_a_1_mb_line_is_quick
run_test test_the_bring_up_is_put_back
finish
