# Reads /etc/default/timing-support for the bring-up's scripts, sourced by
# them (POSIX sh). The file is parsed, never run: the generator reads it
# before anything could stop a stray command, and halvern@.service reads the
# same file with EnvironmentFile=, so every value is unquoted as systemd 252
# unquotes it and every reader gets the same values.
# shellcheck shell=sh
#
# defaults_load FILE REPORT sets the settings of defaults_keys that FILE
# assigns, and calls the function REPORT with one message for each line it
# ignores. A missing FILE leaves the caller's values; anything but a regular
# file is not opened (a FIFO would hang the boot).

defaults_keys='PLL_BOARD PLL_SPI_DEVICE PLL_BIT_ORDER PLL_CONFIG PLL_RESET TOD_TTY TOD_LINE TOD_WAIT_SYNC'

_defaults_tab=$(printf '\t')
_defaults_cr=$(printf '\r')

defaults_load() {
	_df=$1
	_dreport=$2
	[ -e "$_df" ] || return 0
	if [ ! -f "$_df" ] || [ ! -r "$_df" ]; then
		"$_dreport" "$_df is not a readable regular file: not read, defaults used"
		return 0
	fi
	_dn=0
	_dcont=
	while IFS= read -r _dl || [ -n "$_dl" ]; do
		_dn=$((_dn + 1))
		_defaults_line
	done <"$_df"
	case $_dcont in
	'' | comment) ;;
	*) _defaults_say "$_dfrom" "$_dwhy; lines $_dfrom to the end ignored" ;;
	esac
}

_defaults_say() {
	"$_dreport" "$_df:$1: $2"
}

# One line of the file, in $_dl. $_dcont is empty when it starts an entry,
# "comment" when systemd reads it as part of the comment above, else the
# quoting state an entry begun on line $_dfrom runs on in.
_defaults_line() {
	_dl=${_dl%"$_defaults_cr"}
	case $_dl in
	*"$_defaults_cr"*)
		# systemd would split the line there.
		_defaults_odd "a carriage return inside the line"
		return
		;;
	esac
	# Unquoting costs up to the square of a line's length: a bound keeps
	# the boot's wait short.
	if [ "${#_dl}" -gt 4096 ]; then
		_defaults_odd "longer than 4096 characters"
		return
	fi
	case $_dcont in
	'') _defaults_entry ;;
	comment) _defaults_in_comment ;;
	*) _defaults_more ;;
	esac
}

# A line not to unquote ends an entry that runs on into it.
_defaults_odd() {
	case $_dcont in
	'' | comment)
		_dcont=
		_defaults_say "$_dn" "$1; ignored"
		;;
	*) _defaults_close "$_dn" ;;
	esac
}

_defaults_entry() {
	_dl=${_dl#"${_dl%%[!" $_defaults_tab"]*}"}
	case $_dl in
	'') return ;;
	\#* | \;*)
		_defaults_comment_end
		return
		;;
	*=*) ;;
	*)
		_defaults_say "$_dn" "not a NAME=value line; ignored"
		return
		;;
	esac
	_dk=${_dl%%=*}
	_dk=${_dk%"${_dk##*[!" $_defaults_tab"]}"}
	_dr=${_dl#*=}
	_dv=
	_ds=pre
	_defaults_unquote
	if [ "$_ds" = end ]; then
		_defaults_take
		return
	fi
	_dcont=$_ds
	_dfrom=$_dn
	case $_ds in
	cont) _dwhy="the line ends in a backslash" ;;
	*) _dwhy="a quote is not closed on its line" ;;
	esac
}

# systemd 252 reads the line after a comment that ends in an escaping
# backslash as more of that comment.
_defaults_comment_end() {
	_dt=$_dl
	while :; do
		case $_dt in
		*\\\\) _dt=${_dt%??} ;;
		*) break ;;
		esac
	done
	case $_dt in
	*\\) _dcont=comment ;;
	*) _dcont= ;;
	esac
}

_defaults_in_comment() {
	case $_dl in
	*[!" $_defaults_tab"]*)
		case ${_dl#"${_dl%%[!" $_defaults_tab"]*}"} in
		\#* | \;*) ;;
		*) _defaults_say "$_dn" "follows a comment that ends in a backslash, and so is part of it; ignored" ;;
		esac
		;;
	esac
	_defaults_comment_end
}

# A line of an entry that runs on: systemd takes the entry up to where its
# quoting ends; it is ignored here whole.
_defaults_more() {
	_dr=$_dl
	_ds=$_dcont
	[ "$_ds" != cont ] || _ds=value
	_dv=
	_defaults_unquote
	if [ "$_ds" = end ]; then
		_defaults_close "$_dn"
	else
		_dcont=$_ds
	fi
}

_defaults_close() {
	_defaults_say "$_dfrom" "$_dwhy; lines $_dfrom-$1 ignored"
	_dcont=
}

# Unquotes $_dr from state $_ds onto $_dv, as systemd's env-file parser:
# pre (before a piece), value (unquoted, up to the line's end: quotes are
# plain characters there), squote, dquote. Leaves $_ds "end" when the value
# ends with the line, else the state it runs on in: cont (value, the line
# end escaped), squote or dquote. Plain characters are taken a run at a
# time and told apart by patterns on the front of $_dr: cutting them off
# one by one, as ${x%"${x#?}"} does, costs the cube of the line's length.
_defaults_unquote() {
	_dws=
	while [ -n "$_dr" ]; do
		"_defaults_$_ds"
	done
	case $_ds in
	pre | value) _ds=end ;;
	esac
}

_defaults_pre() {
	case $_dr in
	[" $_defaults_tab"]*) _dr=${_dr#?} ;;
	\'*)
		_dr=${_dr#?}
		_ds=squote
		;;
	\"*)
		_dr=${_dr#?}
		_ds=dquote
		;;
	*) _ds=value ;;
	esac
}

# Blanks at the end of an unquoted value are dropped, escaped ones kept.
_defaults_value() {
	case $_dr in
	[" $_defaults_tab"]*)
		_drun=${_dr%%[!" $_defaults_tab"]*}
		_dws=$_dws$_drun
		_dr=${_dr#"$_drun"}
		;;
	\\*)
		_dr=${_dr#?}
		_dv=$_dv$_dws
		_dws=
		# Any other escaped character starts the next run.
		case $_dr in
		'') _ds=cont ;;
		" "*) _dv="$_dv " ;;
		"$_defaults_tab"*) _dv=$_dv$_defaults_tab ;;
		\\*) _dv=$_dv\\ ;;
		esac
		case $_dr in
		[\\" $_defaults_tab"]*) _dr=${_dr#?} ;;
		esac
		;;
	*)
		_drun=${_dr%%[\\" $_defaults_tab"]*}
		_dv=$_dv$_dws$_drun
		_dws=
		_dr=${_dr#"$_drun"}
		;;
	esac
}

_defaults_squote() {
	case $_dr in
	*\'*)
		_dv=$_dv${_dr%%\'*}
		_dr=${_dr#*\'}
		_ds=pre
		;;
	*) _dr= ;;
	esac
}

# A backslash takes away the meaning of " \ ` $ and is kept before any
# other character, which starts the next run.
_defaults_dquote() {
	case $_dr in
	\"*)
		_dr=${_dr#?}
		_ds=pre
		;;
	\\*)
		_dr=${_dr#?}
		case $_dr in
		\"*) _dv=$_dv\" ;;
		\\*) _dv=$_dv\\ ;;
		\`*) _dv=$_dv\` ;;
		\$*) _dv=$_dv\$ ;;
		?*) _dv=$_dv\\ ;;
		esac
		case $_dr in
		[\"\\\`\$]*) _dr=${_dr#?} ;;
		esac
		;;
	*)
		_drun=${_dr%%[\"\\]*}
		_dv=$_dv$_drun
		_dr=${_dr#"$_drun"}
		;;
	esac
}

# Only a known name is assigned, and only by name: nothing of the line is
# ever evaluated.
_defaults_take() {
	for _dknown in $defaults_keys; do
		if [ "$_dk" = "$_dknown" ]; then
			eval "$_dknown=\$_dv"
			return
		fi
	done
	case $_dk in
	'') _defaults_say "$_dn" "no name before '='; ignored" ;;
	[0-9]* | *[!A-Za-z0-9_]*) _defaults_say "$_dn" "'$_dk' is not a setting name; ignored" ;;
	*) _defaults_say "$_dn" "unknown setting $_dk; ignored" ;;
	esac
}
