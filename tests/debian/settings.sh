#!/bin/bash
# Fifth boot: on hostile settings files the generator's halvern@ agrees with
# what systemd hands timing-pll and halvern@, and pll-load calls morrask
# with that: runtime drop-ins make each unit save its environment (then run
# pll-load with a stand-in morrask, halvern not at all). All is put back.
# shellcheck source=lib.sh
. /board/tests/lib.sh

settings=/etc/default/timing-support
seen=/run/settings-probe
cp "$settings" /tmp/settings.orig
mkdir -p "$seen" /run/systemd/system/{timing-pll,halvern@}.service.d
# halvern@ runs as a user of its own.
chmod 1777 "$seen"
printf '#!/bin/sh\necho "$*" >>%s/morrask\n' "$seen" >"$seen/stand-in" && chmod +x "$seen/stand-in"
for unit in timing-pll halvern@; do
	command=true
	[ "$unit" = halvern@ ] || command=/usr/libexec/timing-support/pll-load
	printf '[Service]\nReadWritePaths=%s\nEnvironment=MORRASK=%s/stand-in\nExecStart=\nExecStart=/bin/sh -c %s\n' \
		"$seen" "$seen" "'env >$seen/$unit.env; exec $command'" >"/run/systemd/system/$unit.service.d/probe.conf"
done

# with FILE UNIT TOD_TTY CALL SAID: with the settings FILE (printf's format),
# the generator adds UNIT (empty: none) within 5 s and logs SAID; both units
# get TOD_TTY (unset: none), and pll-load's last morrask call is CALL.
with() {
	local unit env took
	# shellcheck disable=SC2059 # a format, for \0 and \r
	printf "$1" >"$settings"
	dmesg -C
	took=$( { TIMEFORMAT=%R; time /lib/systemd/system-generators/timing-support-generator "$seen/gen"; } 2>&1)
	awk -v t="$took" 'BEGIN { exit !(t < 5) }' || not_ok "the generator took $took s"
	systemctl daemon-reload
	unit=$(ls /run/systemd/generator/timing-support.target.wants 2>/dev/null)
	expect_eq "timing-support.target wants" "$2" "$unit"
	rm -f "$seen"/*.env "$seen/morrask"
	systemctl restart timing-pll.service "${unit:-halvern@2.service}"
	for env in timing-pll halvern@; do
		expect_eq "$env: TOD_TTY" "$3" "$(grep -x 'TOD_TTY=.*' "$seen/$env.env" || echo unset)"
	done
	expect_eq "morrask" "$4" "$(tail -n 1 "$seen/morrask" 2>/dev/null)"
	[ -z "$5" ] || dmesg | grep -q -F -e "$5" || not_ok "no '$5' in the kernel log: $(dmesg | grep timing-support)"
}

test_a_comment_may_hold_any_byte() {
	with '# café\n# caf\xe9\nPLL_CONFIG=/p.cfg\nPLL_RESET=no\nTOD_TTY=3\n' halvern@3.service TOD_TTY=3 '-r -b VKC /p.cfg' ''
}
test_crs_end_lines() {
	with 'PLL_CONFIG=/p.cfg\r\nPLL_BIT_ORDER=msb\rTOD_TTY=3\r\n' halvern@3.service TOD_TTY=3 '-b VKC -m msb /p.cfg' ''
}
test_other_names_reach_the_units_and_are_named() {
	with 'FOO=bar\nexport TOD_TTY=1\nPLL_CONFIG=/p.cfg\nTOD_TTY=3\n' halvern@3.service TOD_TTY=3 '-b VKC /p.cfg' \
		'FOO is no setting of timing-support'
	expect_eq "halvern@: FOO" FOO=bar "$(grep FOO "$seen/halvern@.env")"
}
test_a_nul_byte_leaves_every_default() {
	with 'PLL_CONFIG=/p.cfg\nTOD_TTY=3\n\0\n' halvern@2.service unset '' 'holds a NUL byte'
}
test_a_value_not_utf8_leaves_every_default() {
	with 'PLL_CONFIG=/p\xff.cfg\nTOD_TTY=3\n' halvern@2.service unset '' 'not UTF-8 on line 1'
}
test_a_1_mb_line_is_quick() {
	with "# $(head -c 1000000 /dev/zero | tr '\0' a)\nPLL_CONFIG=/p.cfg\nTOD_TTY=3\n" halvern@3.service TOD_TTY=3 \
		'-b VKC /p.cfg' ''
}

for test in a_comment_may_hold_any_byte crs_end_lines other_names_reach_the_units_and_are_named \
	a_nul_byte_leaves_every_default a_value_not_utf8_leaves_every_default a_1_mb_line_is_quick; do
	run_test "test_$test"
done
cp /tmp/settings.orig "$settings"
rm -rf /run/systemd/system/{timing-pll,halvern@}.service.d "$seen"
systemctl daemon-reload
systemctl stop halvern@3.service
systemctl restart timing-pll.service halvern@2.service
finish
