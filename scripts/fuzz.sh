#!/usr/bin/env bash
# Runs one fuzz target of the fuzz build for a while, starting from its committed corpus.
#   scripts/fuzz.sh FUZZ_BUILD_DIR TARGET SECONDS [more libFuzzer flags]
# New inputs go to FUZZ_BUILD_DIR/corpus/TARGET (the committed seeds are only read), and
# a failing input to FUZZ_BUILD_DIR/artifacts/. Exit 77 (skipped) when the target is not
# built (no clang or libFuzzer) or cannot have its private network (no root).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1" target="$2" seconds="$3"
shift 3
bin="$build/tests/$target"
if [ ! -x "$bin" ]; then
    echo "SKIPPED: $bin is not built (make fuzz-build needs clang and libFuzzer)"
    exit 77
fi

# Longest input worth trying and dictionary, per target.
dict=
case "$target" in
    fuzz_bootp) max_len=600; dict=fuzz_bootp.dict ;;
    fuzz_address) max_len=40; dict=fuzz_address.dict ;;
    fuzz_icmp) max_len=2100 ;;
    fuzz_arp) max_len=64 ;;
    fuzz_reply_listener) max_len=200 ;;
    fuzz_bootp_listing | fuzz_responder) max_len=700; dict=fuzz_bootp.dict ;;
    fuzz_icmp_receive) max_len=2100 ;;
    fuzz_sockets_request) max_len=100 ;;
    fuzz_plan) max_len=400 ;;
    *) echo "unknown fuzz target $target" >&2; exit 2 ;;
esac
seeds="$root/tests/fuzz/corpus/$target"
work="$build/corpus/$target"
mkdir -p "$work" "$build/artifacts"
flags=(-max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -error_exitcode=1
       -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-")
[ -z "$dict" ] || flags+=(-dict="$root/tests/fuzz/$dict")
# The targets that drive the program keep its state (rows, sockets) from one input to the
# next on purpose, so memory that outlives an input is no leak there.
case "$target" in
    fuzz_bootp | fuzz_address | fuzz_icmp | fuzz_sockets_request | fuzz_plan) leaks=1 ;;
    *) leaks=0; flags+=(-detect_leaks=0) ;;
esac
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=$leaks:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "$bin" "${flags[@]}" "$@" "$work" "$seeds"
