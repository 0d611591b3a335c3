# shellcheck shell=bash
# The counting of the shell tests here, sourced: "check WHAT GOT WANTED"
# counts one case and names a failed one after $check_name; check_done
# prints the closing "N passed, N failed" and fails if any case did.
passed=0
failed=0
check() {
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        echo "${check_name:-}: $1: expected [$3], got [$2]"
        failed=$((failed + 1))
    fi
}

check_done() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
