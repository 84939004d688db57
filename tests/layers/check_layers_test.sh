#!/bin/sh
# The layering check (scripts/check_layers): it passes on the tree, and on copies of src/ it
# reports an upward include with its file, line and text, a folder outside the layer order, and
# allow-list entries that are stale, repeated or without a reason. The tree itself is never
# changed.
#
#   check_layers_test.sh REPOSITORY WORK_DIR
set -eu
top=$1
work=$2
check="$top/scripts/check_layers"
allow="$top/scripts/layers.allow"
rm -rf "$work"
mkdir -p "$work"

fail() {
    echo "FAIL: $1"
    cat "$work/out"
    exit 1
}
# Runs the check; the case fails when its status differs from $1.
expect() {
    want=$1
    shift
    if "$check" "$@" >"$work/out" 2>&1; then got=0; else got=$?; fi
    [ "$got" = "$want" ] || fail "status $got, expected $want: check_layers $*"
}
expect_line() {
    grep -qF -- "$1" "$work/out" || fail "no line with: $1"
}
fresh_copy() {
    rm -rf "$work/src"
    cp -R "$top/src" "$work/src"
}

expect 0 "$top/src"

# An upward include in a lower layer, and a downward and a same-folder one that are fine.
fresh_copy
n=$(($(wc -l <"$work/src/base/tick.cpp") + 1))
echo '#include "server/interp.h"' >>"$work/src/base/tick.cpp"
echo '#include "base/tick.h"' >>"$work/src/server/accept.cpp"
echo '#include "server/accept.h"' >>"$work/src/server/proxy.cpp"
expect 1 "$work/src" "$allow"
expect_line "src/base/tick.cpp:$n: #include \"server/interp.h\": base does not stand on server"
[ "$(grep -c 'does not stand on' "$work/out")" = 1 ] || fail "exactly one fault expected"

# Listing the pair lets it pass.
cp "$allow" "$work/allow"
echo 'base/tick.cpp server/interp.h planted by the test' >>"$work/allow"
expect 0 "$work/src" "$work/allow"

# A folder the layer order does not place.
fresh_copy
mkdir "$work/src/newlayer"
echo '#include "base/tick.h"' >"$work/src/newlayer/x.h"
expect 1 "$work/src" "$allow"
expect_line "newlayer/: folder has no place in the layer order"

# Allow-list entries: one whose include is gone, one listed twice, one without a reason.
fresh_copy
cp "$allow" "$work/allow"
echo 'base/tick.cpp lisp/list.h no such include' >>"$work/allow"
expect 1 "$work/src" "$work/allow"
expect_line "base/tick.cpp lisp/list.h is no upward include (any more)"
grep -v '^#' "$allow" | grep . | head -1 >>"$work/allow"
echo 'base/alloc.cpp lisp/heap.h' >>"$work/allow"
expect 1 "$work/src" "$work/allow"
expect_line "is listed twice"
expect_line "no reason given for base/alloc.cpp lisp/heap.h"
echo "layering check: all cases passed"
