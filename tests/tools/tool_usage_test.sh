#!/bin/bash
# Each tool given as an argument: --help prints its usage to standard output
# with exit 0 and nothing on standard error; an unknown option prints to
# standard error with exit 2 and nothing on standard output.
#   tool_usage_test.sh <tool>...
set -u
failures=0
for tool in "$@"; do
    name=$(basename "$tool")
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
