#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz into build/fuzz and runs them.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   build, then run every target,
#                                          as many side by side as there are CPUs
#   scripts/fuzz.sh build                  build only (the fuzz layer's fixture)
#   scripts/fuzz.sh run TARGET SECONDS     run one built target (one fuzz test)
# Each run starts from a scratch copy of the target's seed corpus, so that
# the corpus in the tree stays as it is; a crash input is kept in
# build/fuzz/crashes/<target>/. The default time is 20 s a target. The
# all-in-one form ends with "N passed, N failed".
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/fuzz
src=$top/tests/fuzz
usage="usage: $0 [SECONDS_PER_TARGET] | build | run TARGET SECONDS"

# Targets, the slow ones first; the largest input worth trying; the seeds
# (and dictionary) when not the target's own. A configuration line holds at
# most 127 bytes, so 512 hold four lines at that limit or dozens of short
# ones; the loader keeps nothing from one line to the next, and every line
# costs the loader's targets system calls, so longer inputs only slow them.
targets=(config_file config_check filter_white_space tod)
declare -A maxLen=([config_file]=512 [config_check]=512 [filter_white_space]=512 [tod]=32)
declare -A seeds=([config_check]=config_file)

# CMake builds the targets on the programs' core libraries
# (tests/fuzz/CMakeLists.txt); its output is shown only where something
# does not build.
build() {
    local cxx log
    cxx=$(command -v clang++ || command -v clang++-14) ||
        { echo "fuzz: clang++ not found; scripts/install-deps.sh installs it" >&2; return 1; }
    log=$(cmake -S "$top" -B "$out" -DFUZZ=ON -DWERROR=ON -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Debug 2>&1 &&
        cmake --build "$out" --target "${targets[@]/%/_fuzz}" -j "$(nproc)" 2>&1) ||
        { echo "$log"; echo "fuzz: the targets do not build"; return 1; }
}

# Runs one target for $2 seconds and says how it went; fails on a finding.
run() {
    local target=$1 seconds=$2 work=$out/work/$1 seed=${seeds[$1]:-$1}
    [ -n "${maxLen[$target]:-}" ] || { echo "fuzz: no target $target" >&2; return 2; }
    rm -rf "$work"
    mkdir -p "$work/corpus" "$out/crashes/$target"
    cp "$src/corpus/$seed"/* "$work/corpus/"
    local options=(-max_total_time="$seconds" -max_len="${maxLen[$target]}" -timeout=10 -rss_limit_mb=2048
        -artifact_prefix="$out/crashes/$target/")
    [ -f "$src/$seed.dict" ] && options+=(-dict="$src/$seed.dict")
    # The program's own output is stdout; libFuzzer reports on stderr.
    local status done_line runs took crash
    "$out/$target" "${options[@]}" "$work/corpus" >/dev/null 2>"$work/log"
    status=$?
    done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$work/log" | tail -1)
    if [ "$status" = 0 ] && [ -n "$done_line" ]; then
        read -r _ runs _ _ took _ <<<"$done_line"
        echo "fuzz: $target $runs runs in $took s, no failure"
        return 0
    fi
    runs=$(grep -oE '^#[0-9]+' "$work/log" | tail -1 | tr -d '#')
    crash=$(sed -nE 's/.*Test unit written to (.*)$/\1/p' "$work/log" | tail -1)
    echo "fuzz: $target FAILED after ${runs:-0} runs; log $work/log"
    grep -E 'check failed|runtime error|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|^(loader|model|dry run) |expected' \
        "$work/log" | head -5 | sed 's/^/    /'
    [ -n "$crash" ] && echo "    crash input: $crash (rerun: $out/$target $crash)"
    return 1
}

case ${1:-} in
build) build; exit ;;
run) [ $# -eq 3 ] || { echo "$usage" >&2; exit 2; }; run "$2" "$3"; exit ;;
'' | [1-9]*) ;;
*) echo "$usage" >&2; exit 2 ;;
esac
seconds=${1:-20}
case $seconds in *[!0-9]*) echo "$usage" >&2; exit 2 ;; esac

mkdir -p "$out/work"
build || { echo "0 passed, ${#targets[@]} failed"; exit 1; }
# One target a CPU: more would only share them out, and the loader's
# targets need a CPU of their own for their runs per second.
cpus=$(nproc)
for ((first = 0; first < ${#targets[@]}; first += cpus)); do
    for target in "${targets[@]:first:cpus}"; do
        run "$target" "$seconds" >"$out/work/$target.result" 2>&1 &
    done
    wait
done
passed=0
failed=0
for target in "${targets[@]}"; do
    cat "$out/work/$target.result"
    if grep -q ', no failure$' "$out/work/$target.result"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
