#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz into build/fuzz and runs them,
# as many side by side as there are CPUs, each for SECONDS_PER_TARGET
# (default 20) from a scratch copy of its seed corpus, so that the corpus in
# the tree stays as it is. A crash input is kept in
# build/fuzz/crashes/<target>/. Ends with "N passed, N failed".
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
case $seconds in
'' | *[!0-9]* | 0) echo "usage: $0 [SECONDS_PER_TARGET]" >&2; exit 2 ;;
esac
out=$top/build/fuzz
src=$top/tests/fuzz

cxx=$(command -v clang++ || command -v clang++-14) ||
    { echo "fuzz: clang++ not found; scripts/install-deps.sh installs it" >&2; exit 1; }

# Targets, the slow ones first; the largest input worth trying; the seeds
# (and dictionary) when not the target's own. A configuration line holds at
# most 127 bytes, so 512 hold four lines at that limit or dozens of short
# ones; the loader keeps nothing from one line to the next, and every line
# costs the loader's targets system calls, so longer inputs only slow them.
targets=(config_file config_check filter_white_space tod)
declare -A maxLen=([config_file]=512 [config_check]=512 [filter_white_space]=512 [tod]=32)
declare -A seeds=([config_check]=config_file)

# Runs one target; its log and exit status land in its work directory.
run() {
    local target=$1 work=$out/work/$1 seed=${seeds[$1]:-$1}
    rm -rf "$work"
    mkdir -p "$work/corpus" "$out/crashes/$target"
    cp "$src/corpus/$seed"/* "$work/corpus/"
    local options=(-max_total_time="$seconds" -max_len="${maxLen[$target]}" -timeout=10 -rss_limit_mb=2048
        -artifact_prefix="$out/crashes/$target/")
    [ -f "$src/$seed.dict" ] && options+=(-dict="$src/$seed.dict")
    # The program's own output is stdout; libFuzzer reports on stderr.
    "$out/$target" "${options[@]}" "$work/corpus" >/dev/null 2>"$work/log"
    echo $? >"$work/status"
}

mkdir -p "$out"
passed=0
failed=0
# CMake builds the targets on the programs' core libraries (tests/fuzz/CMakeLists.txt);
# its output is shown only where something does not build.
runnable=()
if log=$(cmake -S "$top" -B "$out" -DFUZZ=ON -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Debug 2>&1); then
    for target in "${targets[@]}"; do
        if log=$(cmake --build "$out" --target "${target}_fuzz" -j "$(nproc)" 2>&1); then
            runnable+=("$target")
        else
            echo "$log"
            echo "fuzz: $target does not build"
            failed=$((failed + 1))
        fi
    done
else
    echo "$log"
    echo "fuzz: CMake cannot configure $out"
    failed=${#targets[@]}
fi

# One target a CPU: more would only share them out, and the loader's
# targets need a CPU of their own for their runs per second.
cpus=$(nproc)
for ((first = 0; first < ${#runnable[@]}; first += cpus)); do
    for target in "${runnable[@]:first:cpus}"; do
        run "$target" &
    done
    wait
done

for target in "${runnable[@]}"; do
    work=$out/work/$target
    done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$work/log" | tail -1)
    if [ "$(cat "$work/status" 2>/dev/null)" = 0 ] && [ -n "$done_line" ]; then
        read -r _ runs _ _ took _ <<<"$done_line"
        echo "fuzz: $target $runs runs in $took s, no failure"
        passed=$((passed + 1))
    else
        runs=$(grep -oE '^#[0-9]+' "$work/log" | tail -1 | tr -d '#')
        crash=$(sed -nE 's/.*Test unit written to (.*)$/\1/p' "$work/log" | tail -1)
        echo "fuzz: $target FAILED after ${runs:-0} runs; log $work/log"
        grep -E 'check failed|runtime error|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|^(loader|model|dry run) |expected' \
            "$work/log" | head -5 | sed 's/^/    /'
        [ -n "$crash" ] && echo "    crash input: $crash (rerun: $out/$target $crash)"
        failed=$((failed + 1))
    fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
