# shellcheck shell=bash
# The one reader of the TAP streams (version 13) that the board's suites,
# checks and benchmarks print (tests/board/harness.h, sim/board/guest/,
# tests/debian/lib.sh): sourced by sim/board/run.sh, sim/debian/run.sh,
# scripts/kernel-check.sh and scripts/bench.sh. Bash.
#
# A console log holds the stream among the kernel's and the board's own
# lines; the stream's lines start at the beginning of a line, from the first
# "TAP version" line on. A result is "ok N - NAME" or "not ok N - NAME", "#
# SKIP" or "# TODO" after it a directive; the plan "1..N" comes first or
# last. A stream without a plan, with fewer or more results than planned,
# with results out of order or with "Bail out!" ended early: it fails.

# tap_read FILE: counts FILE's TAP stream into tap_passed, tap_failed and
# tap_skipped (each planned result that did not come counts as failed, any
# other fault of the stream as one failure) and says what was wrong with
# the stream in tap_problem (empty when it was whole). Succeeds when
# nothing failed.
tap_read() {
    local counts
    counts=$(awk '
        !started && /^TAP version [0-9]+$/ { started = 1; next }
        !started { next }
        /^Bail out!/ { bailed = $0; exit }
        /^1\.\.[0-9]+( |$)/ { if (planned != "") twice = 1; planned = substr($1, 4) + 0; next }
        /^(not )?ok( |$)/ {
            ok = $1 == "ok"
            number = ok ? $2 : $3
            if (number ~ /^[0-9]+$/ && number != seen + 1 && !order) order = "result " number " after " seen + 0
            seen++
            directive = toupper($0)
            if (directive ~ /[^\\]# *SKIP/) skipped++
            else if (ok || directive ~ /[^\\]# *TODO/) passed++
            else failed++
        }
        END {
            if (!started) problem = "no TAP stream"
            else if (bailed != "") problem = bailed
            else if (planned == "") problem = "no plan: the stream ended after " seen " results"
            else if (twice) problem = "two plans"
            else if (seen < planned) problem = (planned - seen) " of " planned " planned results missing"
            else if (seen > planned) problem = seen " results for a plan of " planned
            else if (order) problem = "results out of order: " order
            if (seen < planned) failed += planned - seen
            else if (problem != "") failed++
            printf "%d %d %d %s\n", passed, failed, skipped, problem
        }' "$1")
    # shellcheck disable=SC2034  # the caller's
    read -r tap_passed tap_failed tap_skipped tap_problem <<<"$counts"
    [ "$tap_failed" -eq 0 ]
}

# tap_stream FILE: the lines of FILE's TAP stream (results, plan,
# diagnostics), without the console's other lines.
tap_stream() {
    awk '!started && /^TAP version [0-9]+$/ { started = 1 }
        started && /^(TAP version|(not )?ok( |$)|1\.\.[0-9]|#|Bail out!)/' "$1"
}
