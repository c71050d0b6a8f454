# The ok / FAIL lines of the shell checks and their count, shared by the test
# harnesses (sourced). With check_clock set (to a value of $SECONDS), each
# line carries the seconds since then, so that a slow step shows.
#   ok DESCRIPTION | fail DESCRIPTION | check DESCRIPTION COMMAND... | finish
failures=0
check_line() { # WORD DESCRIPTION
    if [ -n "${check_clock:-}" ]; then
        printf '%-4s  %5d s  %s\n' "$1" $((SECONDS - check_clock)) "$2"
    else
        printf '%-4s  %s\n' "$1" "$2"
    fi
}
ok() { check_line ok "$*"; }
fail() { check_line FAIL "$*"; failures=$((failures + 1)); }
check() { # DESCRIPTION COMMAND...: ok when the command succeeds
    local what=$1
    shift
    if "$@"; then ok "$what"; else fail "$what"; fi
}
# The closing line, and the status: 0 when nothing failed.
finish() {
    echo "$failures check(s) failed"
    [ "$failures" -eq 0 ]
}
