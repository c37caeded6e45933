# shellcheck shell=bash disable=SC2016 # Perl's variables below are single-quoted on purpose
# The table that the shell tests print, and the retry and socket clients they share,
# sourced by them: one PASS or FAIL line a row, with what its command printed as its
# detail; failures counts the rows that failed.
failures=0
# The locals' names are unusual on purpose: the row's command sees them in place of the
# caller's variables of the same names.
check() { # NAME COMMAND...
    local row_name=$1 row_output
    shift
    if row_output=$("$@" 2>&1); then
        row_output=${row_output//$'\n'/; }
        echo "PASS: $row_name${row_output:+ ($row_output)}"
    else
        row_output=${row_output//$'\n'/; }
        echo "FAIL: $row_name (${row_output:-failed})"
        failures=$((failures + 1))
    fi
}

# Until the command succeeds, four times a second; then what it printed last.
retry() { # SECONDS COMMAND...
    local retry_end=$((SECONDS + $1)) retry_output
    shift
    until retry_output=$("$@" 2>&1); do
        ((SECONDS < retry_end)) || { echo "$retry_output"; return 1; }
        sleep 0.25
    done
    echo "$retry_output"
}

# A test that cannot run here fails with its reason, unless the contributor allows skips.
skip_suite() { # SUITE REASON
    if [ "${ECHO_DAEMON_ALLOW_SKIPS:-}" = 1 ]; then
        echo "$1: skipped ($2)"
        exit 0
    fi
    echo "FAIL: $1 did not run: $2 (ECHO_DAEMON_ALLOW_SKIPS=1 lets it skip)"
    exit 1
}

# Perl's socket clients: PERL runs under RUNNER (how the test enters its namespace or
# container: in_container, ip netns exec NS) with $s a new TCP socket and $to 127.0.0.1:80.
port_80() { # PERL RUNNER...
    "${@:2}" perl -MSocket -e 'socket(my $s, PF_INET, SOCK_STREAM, 0) or die "$!\n";
        my $to = sockaddr_in(80, inet_aton("127.0.0.1"));'"$1"
}
# Connects and closes with a reset (SO_LINGER 0).
reset_client() { port_80 'connect($s, $to) && setsockopt($s, SOL_SOCKET, SO_LINGER, pack("ii", 1, 0)) or die "$!\n"' "$@"; }
connect_refused() { port_80 'connect($s, $to) and die "port 80 accepts\n"; $!{ECONNREFUSED} or die "$!\n"' "$@"; }
