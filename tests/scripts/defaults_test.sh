#!/usr/bin/env bash
# The bring-up's generator and pll-load, as configured in FOLDER (the build's
# bring-up/): which ToD sender the generator adds on hostile
# /etc/default/timing-support files under dash and bash, what it reports,
# and that nothing in the file runs; what pll-load hands morrask and which
# SPI device it waits for, with the settings in its environment. Then the
# board lists of the settings file and the manual pages against the
# loader's board table.
#   defaults_test.sh FOLDER
# Ends with "N passed, N failed".
# shellcheck disable=SC2016,SC1003  # the files hold $(...), backquotes and backslashes as text
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
    TIMING_SUPPORT_DEFAULTS=$scratch/defaults TIMING_SUPPORT_KMSG=$scratch/kmsg

# row NAME FILE UNIT SAID: with FILE as the defaults (<none>: no file;
# <fifo>: a FIFO; <nul>: TOD_TTY=4 and a NUL byte), under dash and bash in
# a UTF-8 locale, the generator adds UNIT (empty: none) within 3 s and
# reports the lines SAID (prefix off, the file as F); nothing of it runs.
row() {
    local shell unit
    for shell in dash bash; do
        rm -rf "$scratch/defaults" "$scratch/gen" "$scratch/ran"
        : >"$scratch/kmsg"
        case $2 in
            '<none>') ;;
            '<fifo>') mkfifo "$scratch/defaults" ;;
            '<nul>') printf 'TOD_TTY=4\n\0\n' >"$scratch/defaults" ;;
            *) printf '%s' "$2" >"$scratch/defaults" ;;
        esac
        (cd "$scratch" && LC_ALL=C.UTF-8 timeout 3 "$shell" "$built/timing-support-generator" "$scratch/gen") \
            2>>"$scratch/kmsg"
        unit=$(ls "$scratch/gen/timing-support.target.wants" 2>/dev/null)
        check "$shell, $1: ToD sender" "$unit" "$3"
        check "$shell, $1: generator's messages" "$(sed -e 's/^timing-support-generator: //' \
            -e "s|$scratch/defaults|F|g" "$scratch/kmsg")" "$4"
        check "$shell, $1: nothing ran" "$([ -e "$scratch/ran" ] && echo yes)" ''
    done
}

bad_tty=" is not a tty index (0 to 999, no leading zeros); no ToD sender started"
odd="is not TOD_TTY=<index> on a line of its own; no ToD sender started"
open="a quote is left open or the line ends in a backslash, so systemd may read TOD_TTY of line"
unread=": systemd reads none of it, so every unit has its built-in settings, and the ToD sender runs on ttyS2"

# Nothing in the file runs: a command is no setting, and a value is taken
# as written.
row 'commands' $'$(touch ran)\n`touch ran`\ntouch ran; TOD_TTY=5\nTOD_TTY=3\n' halvern@3.service ""
row '; starts a comment' $';touch ran\n\t# touch ran\nTOD_TTY=3\n' halvern@3.service ''
row 'values as written' $'TOD_LINE=115200 cs8 raw\nTOD_TTY=$(touch ran)\n' '' "F:2: 'TOD_TTY=\$(touch ran)' $odd"

# A line systemd may read on into the next (a quote left open, a
# backslash at its end) stops the generator from taking TOD_TTY after it:
# it cannot tell which line systemd takes for TOD_TTY. It errs on the safe
# side on quotes and backslashes systemd takes as they are.
follows() {
    local said="F:1: $open 2 as part of it; no ToD sender started"
    [ -z "${2:-}" ] || said=
    row "TOD_TTY after $1" "$1"$'\nTOD_TTY=3\n' "${2:-}" "$said"
}
# Latin-1 in a comment: bash in a UTF-8 locale read on past it.
for line in 'PLL_CONFIG=a b\\' '# a note \\' $'# caf\xe9' 'PLL_CONFIG="a \" b"'; do
    follows "$line" halvern@3.service
done
for line in $'PLL_CONFIG="a"\'b' 'PLL_CONFIG="a \"' 'PLL_CONFIG="a\' 'PLL_RESET=no\' '# a note \' \
    "PLL_CONFIG='a\\'" 'PLL_CONFIG=a"b' "PLL_CONFIG='a\"b'"; do
    follows "$line"
done
row 'CR LF line ends' $'PLL_CONFIG=/p.cfg\r\nTOD_TTY=3\r\n' halvern@3.service ''
row 'a CR ends a line' $'PLL_RESET=no\rTOD_TTY=5\n' halvern@5.service ''
row 'the last one counts' $'TOD_TTY=3\nTOD_TTY = 4\nexport TOD_TTY=6\nTOD_TTY=5\n' halvern@5.service \
    "F:2: 'TOD_TTY = 4' ${odd%%;*}; ignored, a later line sets TOD_TTY
F:3: 'export TOD_TTY=6' ${odd%%;*}; ignored, a later line sets TOD_TTY"
row 'other names' $'FOO=1\nLD_PRELOAD=/x.so\n=5\nTOD_TTY=4\n' halvern@4.service \
    "F:1: FOO is no setting of timing-support; the units get it in their environment
F:2: LD_PRELOAD is no setting of timing-support; the units get it in their environment"
row 'a quote open to the end' $'TOD_TTY=4\nPLL_CONFIG=\'/p.cfg\nTOD_TTY=5\n' '' \
    "F:2: $open 3 as part of it; no ToD sender started"
row 'a 1 MB line' "PLL_CONFIG=/$(printf '%1000000s' '' | tr ' ' a)"$'\nTOD_TTY=4\n' halvern@4.service ''

# What makes systemd read none of the file leaves the default port.
row 'a NUL byte' '<nul>' halvern@2.service "F holds a NUL byte$unread"
row 'not UTF-8 in a value' $'PLL_CONFIG=/p\xff.cfg\nTOD_TTY=4\n' halvern@2.service \
    "F has bytes that are not UTF-8 on line 1$unread"
row 'UTF-8 across quotes' $'PLL_CONFIG=\'\xc3\'\'\xa9\'\nTOD_TTY=4\n' '' \
    'F:1: bytes that are not UTF-8 within quotes; no ToD sender started'

# TOD_TTY names a unit and a device: ttyS<N> as the kernel spells N.
tod_tty() { row "TOD_TTY=$1" "TOD_TTY=$1"$'\n' "$2" "${3:+TOD_TTY=$3 in F$bad_tty}"; }
tod_tty 0 halvern@0.service
tod_tty 999 halvern@999.service
tod_tty '' ''
tod_tty 0002 '' 0002
tod_tty 1000 '' 1000
for value in +2 '"2"' '2 ' ttyS2 '2\\'; do
    row "TOD_TTY=$value" "TOD_TTY=$value"$'\n' '' "F:1: 'TOD_TTY=$value' $odd"
done

# Only a regular file is read.
row 'no file' '<none>' halvern@2.service ''
row 'a FIFO' '<fifo>' halvern@2.service "F is not a readable regular file$unread"

# pll NAME CALL SAID [SETTING=VALUE...]: pll-load, with the settings in its
# environment and a file that would set others, calls morrask last as CALL
# (empty: not at all), reports SAID and waits for the SPI device WAITED
# (in $waited).
sysconf=$(sed -n 's/^defaults=//p' "$built/pll-load")
pll() {
    local name=$1 call=$2 said=$3
    shift 3
    rm -f "$scratch/defaults" "$scratch/ran"
    printf 'PLL_CONFIG=/file.cfg\nPLL_RESET=no\n' >"$scratch/defaults"
    : >"$scratch/morrask.log"
    : >"$scratch/udevadm.log"
    (cd "$scratch" && env "$@" timeout 10 sh "$built/pll-load") >/dev/null 2>"$scratch/pll.err"
    check "pll-load, $name: morrask" "$(tail -n 1 "$scratch/morrask.log")" "$call"
    check "pll-load, $name: messages" "$(sed -e 's/^timing-pll: //' -e "s|$sysconf|F|g" "$scratch/pll.err")" "$said"
    check "pll-load, $name: nothing ran" "$([ -e "$scratch/ran" ] && echo yes)" ''
    waited=$(cat "$scratch/udevadm.log")
}
pll 'nothing set' '' ''
pll 'values as written' '[-b][VKC][/p/$(touch ran)`touch ran`; touch ran]' '' \
    'PLL_CONFIG=/p/$(touch ran)`touch ran`; touch ran'
pll 'no reset' '[-r][-b][VKC][/p.cfg]' '' PLL_CONFIG=/p.cfg PLL_RESET=no
pll 'a wrong PLL_RESET' '' "PLL_RESET is 'maybe' in F: yes or no" PLL_CONFIG=/p.cfg PLL_RESET=maybe
pll 'bit order and device' '[-b][VKA][-m][lsb][-d][spidev7.3][/p.cfg]' '' PLL_CONFIG=/p.cfg \
    PLL_BOARD=VKA PLL_BIT_ORDER=lsb PLL_SPI_DEVICE=spidev7.3

# The loader's board table (pll-loader/boards.def): a line "NAME DEVICE
# LSB_FIRST RESET_BIT" a board, and the board assumed without one.
table=$top/pll-loader/boards.def
boards=$(sed -n -E 's/^BOARD\(([A-Z0-9]+), "([^"]+)", ([01]), ([0-9]+)\)$/\1 \2 \3 \4/p' "$table")
board_default=$(sed -n -E 's/^BOARD_DEFAULT\(([A-Z0-9]+)\)$/\1/p' "$table")
names=$(cut -d' ' -f1 <<<"$boards")
check "board table: every row read" "$(grep -c '^BOARD(' "$table")" "$(wc -l <<<"$boards")"

# pll-load waits for the device of the board it loads, from the table: the
# board's own, or the one set; none for a name it does not know as written.
# waits NAME CALL DEVICE [SETTING=VALUE...]
waits() {
    local name=$1 call=$2 device=$3
    shift 3
    pll "$name" "$call" '' PLL_CONFIG=/p.cfg "$@"
    check "pll-load, $name: waits for" "$waited" "${device:+wait --timeout=30 $device}"
}
while read -r name device _; do
    waits "PLL_BOARD=$name" "[-b][$name][/p.cfg]" "$device" "PLL_BOARD=$name"
done <<<"$boards"
waits 'the default board' "[-b][$board_default][/p.cfg]" \
    "$(awk -v b="$board_default" '$1 == b {print $2}' <<<"$boards")"
waits 'a device set' "[-b][$board_default][-d][spidev7.3][/p.cfg]" /dev/spidev7.3 PLL_SPI_DEVICE=spidev7.3
waits 'an unknown board' '[-b][vkc][/p.cfg]' '' PLL_BOARD=vkc

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
