#!/bin/bash
# A whole life of the packages, in one boot of a fresh disk (run.sh -s
# lifecycle -u NEXT): installed offline, set up by the administrator, the
# bring-up started as a boot starts it, upgraded to the next version
# (/board/upgrade) and downgraded back while it runs, removed, purged. What
# piuparts checks, on the board itself: nothing asks a question, the
# administrator's settings survive, an upgrade restarts nothing, and a
# purge leaves the system as the install found it.
# shellcheck source=lib.sh
. /board/tests/lib.sh

packages=(/board/packages/*.deb)
upgrade=(/board/upgrade/*.deb)
names=()
for deb in "${packages[@]}"; do
	names+=("$(dpkg-deb -f "$deb" Package)")
done
settings=/etc/default/timing-support
units=(timing-support.target timing-pll.service kv-ptp.service timing-clock.service halvern@2.service)
accounts=(passwd shadow group gshadow)

# Path, type, owner and mode of everything the packages could touch.
listing() {
	find /etc /lib /usr /var /run -printf '%p %y %U:%G %m\n' 2>/dev/null | LC_ALL=C sort
}

# What the purge may leave, for it is not the packages' doing.
left_by_others=(
	# apt's and dpkg's logs, and the journal, kept or volatile.
	'^/var/log/(apt/|dpkg\.log)'
	'^/(var|run)/log/journal/'
	# dpkg's database (the packages' own files under info/ must go), apt's
	# caches and state, the folder apt takes local package files through.
	'^/var/lib/dpkg/(status|status-old|available|lock|lock-frontend|triggers/.*) '
	'^/var/cache/apt/'
	'^/var/lib/apt/(extended_states|lists/auxfiles) '
	# The backups of the group files that adding the group leaves.
	'^/etc/g(roup|shadow)- '
	# systemd's folder of dynamic users (halvern@'s), kept once made; a
	# user still held would show in it.
	'^/run/systemd/dynamic-uid '
	# udev's locks on its link folders, which come and go as it works.
	'^/run/udev/links/[^ ]*/\.lock '
	# The administrator's PLL file and its folder, which no package owns.
	'^/etc/timing[/ ]'
)

# Lines only in file $2 as "+LINE", lines only in $1 as "-LINE".
changed_lines() {
	diff --unchanged-line-format= --old-line-format='-%L' --new-line-format='+%L' "$1" "$2"
}

# apt-get as an administrator runs it; a question, such as a conffile
# prompt, finds no input and fails the command, and a hang ends in 150 s.
apt_get() {
	DEBIAN_FRONTEND=noninteractive timeout 150 apt-get -y -q "$@" </dev/null
}

# The version of the kv_ptp.ko that the module package installed (the
# running kv_ptp is the simulation build, board/sim-up).
module_version() {
	modinfo -F version "$(dpkg -L "${names[@]}" | grep '/kv_ptp\.ko$')" 2>&1
}

# Each unit of the bring-up with its main process and the time it became
# active: a restart changes them.
unit_states() {
	systemctl show -p Id -p MainPID -p ActiveEnterTimestampMonotonic "${units[@]}"
}

mkdir -p /tmp/before
listing >/tmp/before/listing
for file in "${accounts[@]}"; do
	cp "/etc/$file" /tmp/before/
done

test_apt_installs_the_packages_offline() {
	expect "apt-get install" apt_get install "${packages[@]}"
	expect_installed "${packages[@]}"
	expect_eq "kv_ptp.ko" "$(dpkg-deb -f "${packages[0]}" Version)" "$(module_version)"
	changed_lines /tmp/before/group /etc/group >/tmp/groups-added
	changed_lines /tmp/before/gshadow /etc/gshadow >/tmp/gshadow-added
}

test_the_administrator_sets_the_bring_up() {
	expect "PLL file" install -D -m 0644 /board/samples/vkc-pll.cfg /etc/timing/vkc-pll.cfg
	expect "settings" sed -i -e 's|^PLL_CONFIG=.*|# This board: the VKC sample.\nPLL_CONFIG=/etc/timing/vkc-pll.cfg|' \
		-e 's|^TOD_TTY=.*|TOD_TTY=2|' "$settings"
	cp "$settings" /tmp/settings
	expect_eq "the administrator's lines" 3 \
		"$(grep -c -x -e '# This board: the VKC sample.' -e 'PLL_CONFIG=/etc/timing/vkc-pll.cfg' -e 'TOD_TTY=2' "$settings")"
}

# As a boot would: the generator adds the sender, the target starts.
test_the_bring_up_starts() {
	expect "systemctl daemon-reload" systemctl daemon-reload
	expect "systemctl start timing-support.target" systemctl start timing-support.target
	local unit
	for unit in "${units[@]}"; do
		expect_eq "$unit" active "$(systemctl is-active "$unit")"
	done
	expect_pll_registers /etc/timing/vkc-pll.cfg
	tod_listen 3 /tmp/tod
	expect_tod_strings /tmp/tod 3
}

# Installs package files $@ (apt-get options first) under the running
# bring-up: the ToD strings go on, every second, the settings stay byte for
# byte, no unit restarts, and packages and module have the new version.
expect_a_seamless_change() {
	local debs=("${@:2}") states from start
	states=$(unit_states)
	tod_wait_half_second
	from=$(tod_size)
	start=$SECONDS
	expect "apt-get install $1" apt_get install "$@"
	note "$(dpkg-deb -f "${debs[0]}" Version) installed in $((SECONDS - start)) s"
	# And on after it.
	sleep 2
	tod_wait_half_second
	tod_since "$from" /tmp/tod
	expect_tod_strings /tmp/tod $((SECONDS - start - 1))
	cmp -s /tmp/settings "$settings" || not_ok "the settings changed: $(diff /tmp/settings "$settings" | head -n 6)"
	expect_eq "units" "$states" "$(unit_states)"
	expect_installed "${debs[@]}"
	expect_eq "kv_ptp.ko" "$(dpkg-deb -f "${debs[0]}" Version)" "$(module_version)"
}

test_an_upgrade_changes_nothing_running() {
	expect_a_seamless_change --no-remove "${upgrade[@]}"
}

test_a_downgrade_changes_nothing_running() {
	expect_a_seamless_change --allow-downgrades "${packages[@]}"
}

test_remove_stops_the_bring_up_and_keeps_the_settings() {
	expect "apt-get remove" apt_get remove "${names[@]}"
	cmp -s /tmp/settings "$settings" || not_ok "the settings did not stay as they were"
	expect_bring_up_stopped
	tod_listen 2 /tmp/tod
	expect_eq "ToD bytes" 0 "$(stat -c %s /tmp/tod)"
}

test_purge_leaves_the_system_as_it_was() {
	expect "apt-get purge" apt_get purge "${names[@]}"
	local pattern=("${left_by_others[@]/#/-e}") left
	left=$(changed_lines <(grep -v -E "${pattern[@]}" /tmp/before/listing) <(listing | grep -v -E "${pattern[@]}"))
	[ -z "$left" ] || not_ok "changed since before the install: $left"
	left=$(find /etc/systemd /var/lib/systemd \( -name 'timing-*' -o -name 'kv-ptp*' -o -name 'halvern*' \) 2>&1)
	[ -z "$left" ] || not_ok "enablement left: $left"
	[ ! -e /var/lib/dkms/kv-ptp ] || not_ok "a DKMS tree is left: $(find /var/lib/dkms/kv-ptp | head -n 5)"
}

# Debian leaves system groups after a purge, as files may still belong to
# them: they are all that changed in the account files.
test_purge_leaves_only_the_system_groups() {
	local file
	for file in passwd shadow; do
		expect_eq "/etc/$file" "" "$(changed_lines "/tmp/before/$file" "/etc/$file")"
	done
	expect_eq "/etc/group" "$(cat /tmp/groups-added)" "$(changed_lines /tmp/before/group /etc/group)"
	expect_eq "/etc/gshadow" "$(cat /tmp/gshadow-added)" "$(changed_lines /tmp/before/gshadow /etc/gshadow)"
	grep -q '^+kv_ptp:' /tmp/groups-added || not_ok "no group kv_ptp added: $(cat /tmp/groups-added)"
	local name gid
	while IFS=: read -r name _ gid _; do
		[ "$gid" -lt 1000 ] || not_ok "group ${name#+} is not a system group: gid $gid"
	done </tmp/groups-added
	note "left on purpose: the groups $(cut -d : -f 1 /tmp/groups-added | tr -d + | paste -s -d ' ')"
}

tod_start
run_test test_apt_installs_the_packages_offline
run_test test_the_administrator_sets_the_bring_up
run_test test_the_bring_up_starts
run_test test_an_upgrade_changes_nothing_running
run_test test_a_downgrade_changes_nothing_running
run_test test_remove_stops_the_bring_up_and_keeps_the_settings
run_test test_purge_leaves_the_system_as_it_was
run_test test_purge_leaves_only_the_system_groups
finish
