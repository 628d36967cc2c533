#!/usr/bin/env bash
# check_exports.sh - the shared library exports the public C calls and nothing else.
# usage: check_exports.sh LIBRARY INCLUDE_DIR
# The calls are those the public headers mark VORLEN_EXPORT, and the QNX 4 face's entry points
# (vorlen_qnx4_<name>) that VORLEN_QNX4(<name>) binds them to. Any other symbol, a C++ one above
# all, is a library internal that a program could come to depend on.
set -euo pipefail
lib=$1
inc=$2
# The linker's own symbols and those a sanitizer adds beside an exported variable are not the
# library's.
exported=$(nm -D --defined-only "$lib" | awk '{print $NF}' |
    grep -v -x -E '_init|_fini|_edata|_end|__bss_start|__odr_asan[._].*|__asan_.*' | sort -u)
# The name of each marked declaration is the identifier before its first '(' (or in the
# parentheses of int(max)(...)); a declaration may wrap after it. A marked variable's name is the
# last identifier before its ';'. QNX 4's terminal library (sys/qnxterm.h) is a library of its
# own, not part of this one.
headers=$(find "$inc" -name '*.h' ! -name qnxterm.h)
declared=$(
    {
        grep -h -E '^VORLEN_EXPORT ' $headers |
            sed -E 's/^VORLEN_EXPORT [A-Za-z_ ]*\(([A-Za-z_][A-Za-z0-9_]*)\)\(.*/\1/; t
                    s/^VORLEN_EXPORT [^(]*\b([A-Za-z_][A-Za-z0-9_]*) *\(.*/\1/; t
                    s/^VORLEN_EXPORT extern [^;]*\b([A-Za-z_][A-Za-z0-9_]*) *;.*/\1/'
        grep -ho -E 'VORLEN_QNX4\([A-Za-z_][A-Za-z0-9_]*\)' $headers |
            sed -E 's/VORLEN_QNX4\((.*)\)/vorlen_qnx4_\1/'
    } | grep -v -x 'vorlen_qnx4_name' | sort -u
)
status=0
extra=$(comm -23 <(printf '%s\n' "$exported") <(printf '%s\n' "$declared"))
missing=$(comm -13 <(printf '%s\n' "$exported") <(printf '%s\n' "$declared"))
if [ -n "$extra" ]; then
    echo "exported but not a public call:"
    printf '  %s\n' $extra
    status=1
fi
if [ -n "$missing" ]; then
    echo "a public call the library does not export:"
    printf '  %s\n' $missing
    status=1
fi
[ $status -eq 0 ] && echo "$(printf '%s\n' "$exported" | wc -l) symbols, all public calls"
exit $status
