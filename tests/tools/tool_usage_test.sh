#!/bin/bash
# Each tool given as an argument: --help prints its usage to standard output
# with exit 0 and nothing on standard error; an unknown option prints to
# standard error with exit 2 and nothing on standard output. The tools after
# --versioned VERSION also answer --version on standard output, with exit 0,
# with their name and VERSION on the first line and, for those that load the
# library, VERSION again on the library's line.
#   tool_usage_test.sh <tool>... [--versioned VERSION <tool>...]
set -u
failures=0
version=
for tool in "$@"; do
    if [ "$tool" = --versioned ]; then version=next; continue; fi
    if [ "$version" = next ]; then version=$tool; continue; fi
    name=$(basename "$tool")
    if [ -n "$version" ]; then
        out=$("$tool" --version 2>&1 < /dev/null)
        rc=$?
        first=$(echo "$out" | head -n 1)
        library=$(echo "$out" | sed -n 's/^library //p')
        if [ "$rc" != 0 ] || [[ "$first" != "${name%.exe} $version"* ]] ||
           { [ -n "$library" ] && [[ "$library" != *" $version"* ]]; }; then
            echo "FAIL: $name --version: exit $rc, printed '${out:0:300}'"
            failures=$((failures + 1))
        else
            echo "ok: $name --version: $(echo "$out" | tr '\n' ' ')"
        fi
    fi
    for c in "--help 0 out" "--no-such-option 2 err"; do
        read -r arg want where <<< "$c"
        out=$("$tool" "$arg" 2> /tmp/tool_usage.$$ < /dev/null)
        rc=$?
        err=$(cat /tmp/tool_usage.$$)
        if [ "$where" = out ]; then text=$out quiet=$err; else text=$err quiet=$out; fi
        if [ "$rc" != "$want" ] || [ -z "$text" ] || [ -n "$quiet" ]; then
            echo "FAIL: $name $arg: exit $rc (expected $want), ${#text} characters on std$where,"\
                 "on the other stream: '${quiet:0:200}'"
            failures=$((failures + 1))
        else
            echo "ok: $name $arg"
        fi
    done
done
rm -f /tmp/tool_usage.$$
[ "$failures" = 0 ]
