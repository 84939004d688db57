#!/bin/sh
# One end-to-end case: tests/scripts/NAME.qv, copied into a scratch directory, run there through
# the agent as `vxmx NAME.qv out.txt [ARGS]`; out.txt must equal NAME.out byte for byte. The site
# field of printed error values (the first text after " %E", this host's name) is replaced by
# SITE first, so the cases do not depend on the machine. Optional files beside the case:
#   NAME.args    further command-line arguments (after OUT)
#   NAME.stdout  what the program must write on its standard output
#   NAME.status  the exit status (0 when absent)
#   NAME.code    STD_CODE for the run instead of UTF-8; an empty file leaves it unset, so the case
#                runs under the agent's default code set
#   NAME.ulimit  an address-space limit in KiB for the run (ulimit -v); such cases are registered
#                only for builds without sanitizers, which cannot run under one
#   NAME.tree/   a directory whose contents are copied into the scratch directory first
#   NAME.notsan  the case is not registered for the thread-sanitizer build (its recursion goes
#                deeper than that sanitizer records stacks, or its one thread's long run would
#                pass the case's minute under it); the file says why
#   NAME.runner  the program that runs the case instead of vxmx (read by CMake: vxbase runs the
#                general built-ins without the geo-matrix ones)
# The agent's own directory comes first on PATH, so that a case can start it as "vxmx".
# usage: run_case.sh VXMX CASE.qv WORKDIR
set -u
vxmx=$1
qv=$2
work=$3
dir=$(cd "$(dirname "$qv")" && pwd)
name=$(basename "$qv" .qv)
scratch="$work/$name"
rm -rf "$scratch"
mkdir -p "$scratch"
args=""
if [ -f "$dir/$name.args" ]; then args=$(cat "$dir/$name.args"); fi
limit=unlimited
code=UTF-8
if [ -f "$dir/$name.code" ]; then code=$(cat "$dir/$name.code"); fi
if [ -f "$dir/$name.ulimit" ]; then limit=$(cat "$dir/$name.ulimit"); fi
cp "$dir/$name.qv" "$scratch/"
if [ -d "$dir/$name.tree" ]; then cp -R "$dir/$name.tree/." "$scratch/"; fi
status=0
# shellcheck disable=SC2086
bindir=$(cd "$(dirname "$vxmx")" && pwd)
(cd "$scratch" && ulimit -v "$limit" && if [ -n "$code" ]; then export STD_CODE="$code"; else
    unset STD_CODE; fi && PATH="$bindir:$PATH" TZ=UTC timeout 60 "$vxmx" "$name.qv" \
    out.txt $args >stdout.txt 2>stderr.txt) || status=$?
if [ -f "$scratch/out.txt" ]; then
    awk 'prev == " %E" { sub(/^ \("[^"]*"/, " (\"SITE\"") } { print; prev = $0 }' \
        "$scratch/out.txt" >"$scratch/out.norm"
fi
want_status=0
if [ -f "$dir/$name.status" ]; then want_status=$(cat "$dir/$name.status"); fi
fail=0
if [ "$status" != "$want_status" ]; then
    echo "$name: exit status $status, expected $want_status"
    fail=1
fi
if ! cmp -s "$scratch/out.norm" "$dir/$name.out"; then
    echo "$name: output differs from $name.out:"
    diff "$dir/$name.out" "$scratch/out.norm" | head -40
    fail=1
fi
if [ -f "$dir/$name.stdout" ] && ! cmp -s "$scratch/stdout.txt" "$dir/$name.stdout"; then
    echo "$name: standard output differs from $name.stdout:"
    diff "$dir/$name.stdout" "$scratch/stdout.txt" | head -40
    fail=1
fi
if [ -s "$scratch/stderr.txt" ]; then
    echo "$name: standard error:"
    head -20 "$scratch/stderr.txt"
fi
exit $fail
