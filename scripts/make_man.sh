#!/bin/bash
# A man page for one of the Linux package's programs, made from its --help
# (help2man), on standard output.
#   scripts/make_man.sh PROGRAM VERSION
set -euo pipefail
program=$1 version=$2
case "$(basename "$program")" in
    vesk_play) what="play VGM files on sound chips of network boards" ;;
    vesk_test) what="list the boards and chips vesk finds and exercise them" ;;
    vesk_sim) what="simulated vesk boards for tests and demonstrations" ;;
    vesk_testbed) what="simulated boards and a host in network namespaces" ;;
    *) what="part of vesk" ;;
esac
exec help2man --no-info --no-discard-stderr --version-string="$version" --name="$what" "$program"
