#!/usr/bin/env bash
# The bring-up's generator and pll-load, as configured in FOLDER (the build's
# bring-up/), on hostile /etc/default/timing-support files under dash and
# bash: which ToD sender the generator adds, what pll-load hands morrask and
# which SPI device it waits for, what both report, and that nothing in the
# file runs. Then the board lists of the settings file and the manual pages
# against the loader's board table.
#   defaults_test.sh FOLDER
# Ends with "N passed, N failed".
# shellcheck disable=SC2016  # the files hold $(...) and backquotes as text
set -uo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
built=${1:?usage: defaults_test.sh CONFIGURED_BRING_UP_FOLDER}
. "$top/tests/scripts/check-lib.sh"
check_name=defaults
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Stand-ins: morrask logs each call as [arg]...; udevadm logs its arguments; cs8,
# which sh runs for an unquoted TOD_LINE, leaves $scratch/ran as the
# file's "touch ran" lines would.
mkdir "$scratch/bin"
cat >"$scratch/bin/morrask" <<'STUB'
#!/bin/sh
printf '[%s]' "$@" >>"$STUB_DIR/morrask.log"
echo >>"$STUB_DIR/morrask.log"
STUB
printf '#!/bin/sh\necho "$*" >>"$STUB_DIR/udevadm.log"\n' >"$scratch/bin/udevadm"
printf '#!/bin/sh\ntouch "$STUB_DIR/ran"\n' >"$scratch/bin/cs8"
chmod +x "$scratch/bin"/*
export STUB_DIR=$scratch PATH=$scratch/bin:$PATH MORRASK=$scratch/bin/morrask \
    TIMING_SUPPORT_DEFAULTS=$scratch/defaults TIMING_SUPPORT_DEFAULTS_LIB=$top/bring-up/defaults.sh \
    TIMING_SUPPORT_KMSG=$scratch/kmsg

# Both scripts under shell $1, in $scratch: leaves the unit the generator
# added in $unit, morrask's last call in $call, udevadm's calls in $waited,
# what each reported (prefix off, the file as F) in $gen_said and $pll_said,
# and yes in $ran if anything of the file ran.
run() {
    rm -rf "$scratch/gen" "$scratch/ran"
    : >"$scratch/kmsg"
    : >"$scratch/morrask.log"
    : >"$scratch/udevadm.log"
    (cd "$scratch" && timeout 10 "$1" "$built/timing-support-generator" "$scratch/gen") 2>>"$scratch/kmsg"
    (cd "$scratch" && timeout 10 "$1" "$built/pll-load") >/dev/null 2>"$scratch/pll.err"
    unit=$(ls "$scratch/gen/timing-support.target.wants" 2>/dev/null)
    call=$(tail -n 1 "$scratch/morrask.log")
    waited=$(cat "$scratch/udevadm.log")
    gen_said=$(sed -e 's/^timing-support-generator: //' -e "s|$scratch/defaults|F|g" "$scratch/kmsg")
    pll_said=$(sed -e 's/^timing-pll: //' -e "s|$scratch/defaults|F|g" "$scratch/pll.err")
    ran=no
    [ ! -e "$scratch/ran" ] || ran=yes
}

# row NAME FILE UNIT CALL SAID: with FILE as the defaults (<none>: no file;
# <fifo>: a FIFO), under dash and bash, the generator adds UNIT (empty:
# none) and reports the lines SAID; pll-load calls morrask last as CALL
# (empty: not at all) and reports SAID but for its TOD_TTY line.
row() {
    local shell
    for shell in dash bash; do
        rm -f "$scratch/defaults"
        case $2 in
            '<none>') ;;
            '<fifo>') mkfifo "$scratch/defaults" ;;
            *) printf '%s' "$2" >"$scratch/defaults" ;;
        esac
        run "$shell"
        check "$shell, $1: ToD sender" "$unit" "$3"
        check "$shell, $1: morrask" "$call" "$4"
        check "$shell, $1: generator's messages" "$gen_said" "$5"
        check "$shell, $1: pll-load's messages" "$pll_said" "$(grep -v "^TOD_TTY=" <<<"$5")"
        check "$shell, $1: nothing ran" "$ran" no
    done
}

bad_tty=" is not a tty index (0 to 999, no leading zeros); no ToD sender started"

# Nothing in the file runs: a command is no setting, and a value is taken
# as written.
row 'commands' $'$(touch ran)\n`touch ran`\ntouch ran; TOD_TTY=5\nTOD_TTY=3\n' halvern@3.service '' \
    $'F:1: not a NAME=value line; ignored\nF:2: not a NAME=value line; ignored
F:3: \'touch ran; TOD_TTY\' is not a setting name; ignored'
row '; starts a comment' $';touch ran\n\t# touch ran\nTOD_TTY=3\n' halvern@3.service '' ''
row 'values as written' $'PLL_CONFIG=/p/$(touch ran)`touch ran`; touch ran\nTOD_TTY=$(touch ran)\n' \
    '' '[-b][VKC][/p/$(touch ran)`touch ran`; touch ran]' "TOD_TTY='\$(touch ran)' in F$bad_tty"
row 'unquoted blanks' $'TOD_LINE=115200 cs8 raw\nPLL_CONFIG=/p.cfg\nPLL_RESET=no\nTOD_TTY=4\n' \
    halvern@4.service '[-r][-b][VKC][/p.cfg]' ''

# Unquoted as EnvironmentFile= unquotes: LINE gives PLL_CONFIG the value.
quoting() { row "quoting $1" "$1"$'\n' halvern@2.service "[-b][VKC][$2]" ''; }
quoting 'PLL_CONFIG=a"b c"d' 'a"b c"d'
quoting $'PLL_CONFIG="a b"\'c d\' e  ' 'a bc de'
quoting 'PLL_CONFIG=  "x\"\\\$\`\y"' 'x"\$`\y'
quoting 'PLL_CONFIG=a b\\c\  ' 'a b\c '
quoting "PLL_CONFIG='a\\b' 'c'" 'a\bc'
quoting 'PLL_CONFIG=a # b' 'a # b'
quoting $' \tPLL_CONFIG \t= /p.cfg' '/p.cfg'
row 'CR LF line ends' $'PLL_CONFIG=/p.cfg\r\nTOD_TTY=3\r\n' halvern@3.service '[-b][VKC][/p.cfg]' ''

# What systemd would not take, or would read on into the next lines, is
# ignored and named.
row 'ignored lines' $'PLL_CONFIG=/p.cfg\nFOO=1\nexport TOD_TTY=4\n=5\nPLL_BOARD="VKA\nTOD_TTY=6"
PLL_RESET=no\\\nTOD_TTY=7\n# a note \\\nTOD_TTY=8\nTOD_TTY=3\n' halvern@3.service '[-b][VKC][/p.cfg]' \
    "F:2: unknown setting FOO; ignored
F:3: 'export TOD_TTY' is not a setting name; ignored
F:4: no name before '='; ignored
F:5: a quote is not closed on its line; lines 5-6 ignored
F:7: the line ends in a backslash; lines 7-8 ignored
F:10: follows a comment that ends in a backslash, and so is part of it; ignored"
row 'a quote open to the end' $'TOD_TTY=4\nPLL_CONFIG=\'/p.cfg\nTOD_TTY=5\n' halvern@4.service '' \
    'F:2: a quote is not closed on its line; lines 2 to the end ignored'
row 'a CR inside a line' $'PLL_CONFIG=/p.cfg\nPLL_RESET=no\rTOD_TTY=5\n' halvern@2.service \
    '[-b][VKC][/p.cfg]' 'F:2: a carriage return inside the line; ignored'
row 'a long line' "PLL_CONFIG=/$(printf '%5000s' '' | tr ' ' a)" halvern@2.service '' \
    'F:1: longer than 4096 characters; ignored'

# TOD_TTY names a unit and a device: ttyS<N> as the kernel spells N.
tod_tty() { row "TOD_TTY=$1" "TOD_TTY=$1"$'\n' "$2" '' "${3:+TOD_TTY='$3' in F$bad_tty}"; }
tod_tty 0 halvern@0.service
tod_tty 999 halvern@999.service
tod_tty '' ''
tod_tty 0002 '' 0002
tod_tty 1000 '' 1000
tod_tty +2 '' +2
tod_tty '"2 "' '' '2 '
tod_tty ttyS2 '' ttyS2

# Only a regular file is read.
row 'no file' '<none>' halvern@2.service '' ''
row 'a FIFO' '<fifo>' halvern@2.service '' 'F is not a readable regular file: not read, defaults used'

# The loader's board table (pll-loader/boards.def): a line "NAME DEVICE
# LSB_FIRST RESET_BIT" a board, and the board assumed without one.
table=$top/pll-loader/boards.def
boards=$(sed -n -E 's/^BOARD\(([A-Z0-9]+), "([^"]+)", ([01]), ([0-9]+)\)$/\1 \2 \3 \4/p' "$table")
board_default=$(sed -n -E 's/^BOARD_DEFAULT\(([A-Z0-9]+)\)$/\1/p' "$table")
names=$(cut -d' ' -f1 <<<"$boards")
check "board table: every row read" "$(grep -c '^BOARD(' "$table")" "$(wc -l <<<"$boards")"

# pll-load waits for the device of the board it loads, from the table: the
# board's own, or the one set; none for a name it does not know as written.
# waits NAME FILE CALL DEVICE
waits() {
    local shell
    for shell in dash bash; do
        rm -f "$scratch/defaults"
        printf '%s' "$2" >"$scratch/defaults"
        run "$shell"
        check "$shell, $1: morrask" "$call" "$3"
        check "$shell, $1: waits for" "$waited" "${4:+wait --timeout=30 $4}"
    done
}
while read -r name device _; do
    waits "PLL_BOARD=$name" "PLL_BOARD=$name"$'\nPLL_CONFIG=/p.cfg\n' "[-b][$name][/p.cfg]" "$device"
done <<<"$boards"
waits 'the default board' $'PLL_CONFIG=/p.cfg\n' "[-b][$board_default][/p.cfg]" \
    "$(awk -v b="$board_default" '$1 == b {print $2}' <<<"$boards")"
waits 'a device set' $'PLL_CONFIG=/p.cfg\nPLL_SPI_DEVICE=spidev7.3\n' "[-b][$board_default][-d][spidev7.3][/p.cfg]" \
    /dev/spidev7.3
waits 'an unknown board' $'PLL_CONFIG=/p.cfg\nPLL_BOARD=vkc\n' '[-b][vkc][/p.cfg]' ''

# A board added to the table must be added where people read the list.
# paragraph FILE FIRST_LINE: the lines after FIRST_LINE up to the next
# paragraph; roff_names: the board names set in bold in them, sorted.
paragraph() { first=$2 awk '$0 == ENVIRON["first"] {on = 1; next} on && /^\.(TP|PP|SH)/ {exit} on' "$1"; }
roff_names() { sed -n -E 's/^\.BR? ([A-Z][A-Z0-9]*)( ,)?$/\1/p' | sort; }
# The manual pages' sources, configured (NAME.in) or not.
man_page() { local page=$top/doc/man/$1; [ -e "$page" ] || page=$page.in; echo "$page"; }
morrask_8=$(man_page morrask.8)
timing_support_5=$(man_page timing-support.5)
settings=$top/bring-up/timing-support.default
sorted_names=$(sort <<<"$names")
check "morrask(8) SYNOPSIS: the boards" "$(grep -F '.RB [ \-b\~' "$morrask_8")" \
    ".RB [ \\-b\\~$(paste -s -d '|' <<<"$names" | sed 's/|/ | /g') ]"
check "morrask(8) -b: the boards" "$(paragraph "$morrask_8" '.BI \-b " board"' | roff_names)" "$sorted_names"
check "morrask(8) -b: the default" "$(paragraph "$morrask_8" '.BI \-b " board"' |
    grep -A 1 -x "\.BR\? $board_default" | tail -n 1)" '(the default).'
check "morrask(8) BOARDS: a row each" "$(awk '/^\.SH BOARDS/ {s = 1} s && /^_$/ {t = 1; next} t && /^\.TE/ {exit} t' \
    "$morrask_8")" "$(while read -r name device lsb bit; do
        [ "$lsb" = 1 ] && order=LSB || order=MSB
        printf '%s\t%s\t%s first\t%s\n' "$name" "$device" "$order" "$bit"
    done <<<"$boards")"
check "morrask(8) BOARDS: the default" "$(grep -c -x "assumes the $board_default board\." "$morrask_8")" 1
check "timing-support(5) PLL_BOARD: the boards" "$(paragraph "$timing_support_5" '.B PLL_BOARD' | roff_names)" \
    "$sorted_names"
check "timing-support(5) PLL_BOARD: the default" "$(paragraph "$timing_support_5" '.B PLL_BOARD' |
    grep -A 1 -x "\.BR\? $board_default" | tail -n 1)" '(the default).'
check "timing-support(5) PLL_SPI_DEVICE: each board's name" "$(paragraph "$timing_support_5" '.B PLL_SPI_DEVICE' |
    tr -s ' ,()\n' '\n' | grep -x -F "$names" | sort -u)" "$sorted_names"
check "timing-support.default: the boards" "$(grep '^# The board: ' "$settings")" \
    "# The board: $(paste -s -d '|' <<<"$names" | sed -e 's/|/, /g' -e 's/\(.*\), /\1 or /')."
check "timing-support.default: the default" "$(grep '^PLL_BOARD=' "$settings")" "PLL_BOARD=$board_default"

check_done
