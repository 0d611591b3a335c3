#!/usr/bin/env bash
# The static checks. Each CHECK runs alone; without one, all of them run:
#   scripts/lint.sh [-b BUILD_DIR] [CHECK...]
#   scripts/lint.sh --fix [clang-format]
# * sparse: kv_ptp and the simulation modules through sparse on every
#   file (kbuild C=2, W=1), against the 5.4 and 6.1 board kernels
# * checkpatch: the kernel's checkpatch.pl --strict on their .c and .h files
# * coccicheck: the kernel's coccinelle rules (make coccicheck) on them
# * shellcheck: every shell script git tracks, the shell templates included
# * clang-tidy: .clang-tidy over the .cpp files of morrask, halvern and
#   kv-ptp-ctl
# * clang-format: .clang-format over the C++ sources, the kernel C's aside
#   (cxx_sources); --fix formats them in place instead
# BUILD_DIR (or $LINT_BUILD_DIR) is a configured CMake build tree: its
# compile_commands.json for clang-tidy (configured with
# -DCMAKE_EXPORT_COMPILE_COMMANDS=ON) and kv_ptp's generated files; without
# one, a configure of its own in a scratch folder. Sources are checked from
# scratch copies: the tree stays clean. Prints every finding and exits 1 if
# any check found one, 2 on a usage error.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/kbuild-lib.sh"

all_checks=(sparse checkpatch coccicheck shellcheck clang-tidy clang-format)
# The checks that --fix can apply.
fix_checks=(clang-format)
usage="usage: lint.sh [-b build_dir] [${all_checks[*]}] | --fix [${fix_checks[*]}]"
build=${LINT_BUILD_DIR:-}
fix=
while getopts "b:-:" opt; do
    case $opt in
        b) build=$OPTARG ;;
        -) [ "$OPTARG" = fix ] || { echo "$usage" >&2; exit 2; }
           fix=yes ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
checks=("$@")
known=("${all_checks[@]}")
[ -z "$fix" ] || known=("${fix_checks[@]}")
[ ${#checks[@]} -gt 0 ] || checks=("${known[@]}")
for check in "${checks[@]}"; do
    [[ " ${known[*]} " == *" $check "* ]] || { echo "lint: unknown check '$check'; $usage" >&2; exit 2; }
done

module=$top/rte/sources/kvLkmPtpAux
module_src=rte/sources/kvLkmPtpAux/src/ptp
sim_src=sim/board/kmod
# The kernels whose trees sparse checks against: the board's line, and the
# newest one the modules build for.
sparse_kernels=(5.4 6.1)

# scripts/install-deps.sh installs them (coccinelle's OCaml rules need
# ocaml-nox too).
for tool in sparse spatch shellcheck clang-tidy-14 clang-format-14 cmake make; do
    command -v "$tool" >/dev/null ||
        { echo "lint: $tool not found; scripts/install-deps.sh installs it" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lint.XXXXXX")
trap 'rm -rf "$work"' EXIT

log() { echo "lint: $*" >&2; }

# The prepared tree of board kernel $1 (sim/board/prepare.sh).
kernel_tree() {
    local dir
    dir=$("$top/sim/board/prepare.sh" -k "$1" | tail -n 1) || return 1
    echo "$dir/headers"
}

# The CMake build tree: the one given, or one configured here once.
build_tree() {
    if [ -z "$build" ]; then
        build=$work/build
        cmake -S "$top" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work/cmake.log" 2>&1 ||
            { cat "$work/cmake.log"; log "CMake configure failed"; return 1; }
    fi
    build=$(cd "$build" && pwd)
}

# Scratch copies of the kernel sources under $1: kv_ptp made complete with
# its generated files as DKMS gets it (kvLkmPtpAux/), the simulation
# modules (sim/).
copy_kernel_sources() {
    rm -rf "$1" && mkdir -p "$1" || return 1
    kbuild_module_source "$module" "$build" "$1/kvLkmPtpAux" && cp -r "$top/$sim_src" "$1/sim"
}

# Shows the findings in copies under $1 with the paths of the sources.
from_copies() {
    sed -e "s|$1/kvLkmPtpAux/src/ptp/|$module_src/|g" -e "s|$1/sim/|$sim_src/|g"
}

run_sparse() {
    local kernel tree dir status=0 out
    for kernel in "${sparse_kernels[@]}"; do
        tree=$(kernel_tree "$kernel") || { log "sparse: cannot prepare kernel $kernel"; return 1; }
        dir=$work/sparse-$kernel
        echo "Linux $kernel:"
        copy_kernel_sources "$dir" || return 1
        # The simulation modules first: kv_ptp links against their SoC
        # driver's symbols, as on the board.
        out=$(kbuild_modules "$tree" "$dir/sim" C=2 -j2) || { echo "$out" | from_copies "$dir"; status=1; }
        out=$(kbuild_modules "$tree" "$dir/kvLkmPtpAux/src/ptp" C=2 \
            KBUILD_EXTRA_SYMBOLS="$dir/sim/Module.symvers") ||
            { echo "$out" | from_copies "$dir"; status=1; }
    done
    return $status
}

# The checkpatch message types each file may show, and why.
checkpatch_ignores() {
    case $1 in
        */kv_ptp_compat.h | */sim_compat.h)
            # The one place in each module for what differs between the
            # kernels it builds for, out of tree: it has to test
            # LINUX_VERSION_CODE, which checkpatch also takes for a constant
            # on the left of a comparison.
            echo LINUX_VERSION_CODE,CONSTANT_COMPARISON ;;
        */kvPtpAux.c)
            # The load and unload banners: a header record at the kernel's
            # default level, and messages ending in "module \n". Their text
            # and records are what the board's log readers match.
            echo PRINTK_WITHOUT_KERN_LEVEL,QUOTED_WHITESPACE_BEFORE_NEWLINE ;;
    esac
}

run_checkpatch() {
    local tree file ignores status=0
    local -A groups=()
    tree=$(kernel_tree 5.4) || { log "checkpatch: cannot prepare kernel 5.4"; return 1; }
    cd "$top" || return 1
    # One run for the files that share an ignore list.
    for file in "$module_src"/*.[ch] "$sim_src"/*.[ch]; do
        ignores=$(checkpatch_ignores "$file")
        groups[x$ignores]+=" $file"
    done
    for ignores in "${!groups[@]}"; do
        # shellcheck disable=SC2086  # the group's file names, none with a space
        perl "$tree/scripts/checkpatch.pl" --strict --no-tree --terse --no-summary --quiet \
            --ignore "${ignores#x}" -f ${groups[$ignores]} || status=1
    done
    return $status
}

run_coccicheck() {
    local tree dir out
    tree=$(kernel_tree 5.4) || { log "coccicheck: cannot prepare kernel 5.4"; return 1; }
    dir=$work/cocci
    copy_kernel_sources "$dir" || return 1
    # One job: with a handful of files, spatch's workers cost more than
    # they save.
    out=$(make -C "$tree" M="$dir" ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu- J=1 \
        MODE=report coccicheck 2>&1) || { echo "$out" | from_copies "$dir"; log "coccicheck failed"; return 1; }
    # Its reports are "FILE:LINE:COLUMNS: message" lines; the rest is its
    # own chatter.
    out=$(echo "$out" | grep -E '^/[^ :]+:[0-9]+:' | from_copies "$dir")
    [ -z "$out" ] || { echo "$out"; return 1; }
}

# The shell scripts git tracks: by name, by shebang, or by a shellcheck
# shell directive (the sourced libraries), the .in templates of scripts
# among them.
shell_scripts() {
    local file
    git -C "$top" ls-files | while IFS= read -r file; do
        [ -f "$top/$file" ] || continue
        case $file in
            *.sh | *.sh.in) echo "$file"; continue ;;
        esac
        if head -n 1 "$top/$file" | grep -q -E '^#!.*[/ ](ba|da|a)?sh( |$)' ||
            grep -q -E '^# shellcheck shell=' "$top/$file"; then
            echo "$file"
        fi
    done
}

run_shellcheck() {
    local scripts
    mapfile -t scripts < <(shell_scripts)
    cd "$top" && shellcheck -x -f gcc "${scripts[@]}"
}

run_clang_tidy() {
    [ -f "$build/compile_commands.json" ] ||
        { log "clang-tidy: $build has no compile_commands.json (configure it with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)"; return 1; }
    cd "$top" || return 1
    # Two at a time, on both CPUs; --quiet leaves only the findings. One
    # file a process: clang-tidy 14 given several reports a false
    # valist.Uninitialized at vprintf after va_start in the later ones.
    git ls-files 'pll-loader/*.cpp' 'tod-sender/*.cpp' 'kv-ptp-ctl/*.cpp' |
        xargs -P 2 -n 1 clang-tidy-14 --quiet -p "$build" 2>&1 |
        grep -v -E 'warnings? (and [0-9]+ errors? )?generated\.$'
    [ "${PIPESTATUS[1]}" -eq 0 ]
}

# The C++ sources that keep the tree's style: every tracked .cpp, .h, .cc
# and .hpp but kv_ptp's and the simulation modules', kernel C whose
# headers C shares.
cxx_sources() {
    local file
    git -C "$top" ls-files '*.cpp' '*.h' '*.cc' '*.hpp' ':(exclude)rte/' ":(exclude)$sim_src/" |
        while IFS= read -r file; do
            [ -f "$top/$file" ] && echo "$file"
        done
}

run_clang_format() {
    local sources
    mapfile -t sources < <(cxx_sources)
    cd "$top" && clang-format-14 --style=file --dry-run --Werror "${sources[@]}"
}

# --fix: the sources formatted in place, nothing checked.
if [ -n "$fix" ]; then
    mapfile -t sources < <(cxx_sources)
    cd "$top" && clang-format-14 --style=file -i "${sources[@]}"
    exit
fi

# One configured tree for the checks that need one.
case " ${checks[*]} " in
    *" sparse "* | *" coccicheck "* | *" clang-tidy "*) build_tree || exit 1 ;;
esac

# Runs check $1 into $work/$1.out and its status into $work/$1.status.
run_check() {
    local start=$SECONDS status=0
    ( "run_${1//-/_}" ) >"$work/$1.out" 2>&1 || status=1
    echo "$status $((SECONDS - start))" >"$work/$1.status"
}

# coccicheck is one long single-threaded process: it runs beside the
# others, which keep the second CPU busy.
pending=
for check in "${checks[@]}"; do
    if [ "$check" = coccicheck ] && [ ${#checks[@]} -gt 1 ]; then
        run_check coccicheck &
        pending=$!
    fi
done
failed=()
for check in "${checks[@]}"; do
    if [ "$check" = coccicheck ] && [ -n "$pending" ]; then
        wait "$pending"
    else
        run_check "$check"
    fi
    read -r status seconds <"$work/$check.status"
    echo "== $check"
    cat "$work/$check.out"
    echo "== $check: $seconds s, $([ "$status" -eq 0 ] && echo clean || echo findings)"
    [ "$status" -eq 0 ] || failed+=("$check")
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "lint: findings from ${failed[*]}"
    exit 1
fi
echo "lint: no findings"
