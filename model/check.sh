#!/usr/bin/env bash
# Exhaustive check of the expansion protocol model (model/expansion.pml)
# with spin.  See model/README.md.
#
#   model/check.sh              the protocol as map/ runs it must pass;
#                               exit 1 otherwise
#   model/check.sh --full       also larger runs (more processes, two deaths)
#   model/check.sh --show-bugs  the protocol before its repairs, and faults
#                               switched on in the repaired one; exit 1
#                               unless every one of them is caught
#
# Needs spin (Debian package "spin") and a C compiler.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
model="$here/expansion.pml"
mode=check
for arg in "$@"; do
    case "$arg" in
        --show-bugs) mode=bugs ;;
        --full) mode=full ;;
        -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
        *) echo "unknown argument: $arg" >&2; exit 2 ;;
    esac
done

command -v spin >/dev/null || { echo "spin not found (apt-get install spin)" >&2; exit 2; }
cc=${CC:-cc}
command -v "$cc" >/dev/null || cc=gcc

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$model" "$work/expansion.pml"

failures=0

# run NAME EXPECT "SPIN -D FLAGS" "CC FLAGS" "PAN FLAGS"
#   EXPECT is pass (no error may be found) or fail (an error must be found)
run() {
    local name=$1 expect=$2 dflags=$3 cflags=$4 pflags=$5
    local dir="$work/$name"
    mkdir -p "$dir"
    cp "$work/expansion.pml" "$dir/"
    (
        cd "$dir" || exit 2
        # shellcheck disable=SC2086
        spin -a $dflags expansion.pml >spin.out 2>&1 || { cat spin.out; exit 2; }
        # shellcheck disable=SC2086
        "$cc" -O2 -w $cflags -o pan pan.c >cc.out 2>&1 || { cat cc.out; exit 2; }
        start=$(date +%s.%N)
        # shellcheck disable=SC2086
        ./pan $pflags >pan.out 2>&1
        end=$(date +%s.%N)
        awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f\n", e - s }' >wall.txt
    )
    local status=$?
    local out="$dir/pan.out"
    if [ $status -ne 0 ] || [ ! -s "$out" ]; then
        echo "[$name] could not build or run pan"
        failures=$((failures + 1))
        return
    fi
    local errors stored depth wall
    errors=$(sed -n 's/.*errors: \([0-9][0-9]*\).*/\1/p' "$out" | tail -1)
    stored=$(sed -n 's/^ *\([0-9.e+]*\) states, stored.*/\1/p' "$out" | tail -1)
    depth=$(sed -n 's/.*depth reached \([0-9]*\).*/\1/p' "$out" | tail -1)
    wall=$(cat "$dir/wall.txt")
    local incomplete=0
    grep -q "max search depth too small" "$out" && incomplete=1
    grep -q "out of memory" "$out" && incomplete=1
    local what
    what=$(grep -m1 -E '^pan:[0-9]+: ' "$out" | sed 's/^pan:[0-9]*: //')

    printf '[%s] spin %s | cc %s | pan %s\n' "$name" "$dflags" "$cflags" "$pflags"
    printf '    states stored %s, depth reached %s, errors %s, %ss\n' \
        "${stored:-?}" "${depth:-?}" "${errors:-?}" "$wall"
    [ -n "$what" ] && printf '    found: %s\n' "$what"

    if [ "$expect" = pass ]; then
        if [ "${errors:-1}" != 0 ] || [ $incomplete -ne 0 ]; then
            echo "    FAILED (expected no error)"
            [ $incomplete -ne 0 ] && echo "    search incomplete"
            if [ -f "$dir/expansion.pml.trail" ]; then
                echo "    trail:"
                (cd "$dir" && spin -t -p -g $dflags expansion.pml 2>&1 | tail -40 | sed 's/^/      /')
            fi
            failures=$((failures + 1))
        else
            echo "    ok"
        fi
    else
        if [ "${errors:-0}" = 0 ]; then
            echo "    NOT CAUGHT (expected an error)"
            failures=$((failures + 1))
        else
            echo "    caught, as expected"
        fi
    fi
}

safety="-DSAFETY -DCOLLAPSE -DMEMLIM=3000"
pan_safety="-m100000"
all="-DFIX_PHASE -DFIX_PAIR -DFIX_MARK -DFIX_STALE -DFIX_CURSOR"

case $mode in
check|full)
    echo "== the protocol as map/ runs it (with the five repairs, model/README.md): must pass"
    run fixed-helper      pass "-DFIXED -DCONFIG=4"                 "$safety" "$pan_safety"
    if [ $mode = full ]; then
        echo "== larger runs"
        run fixed-inserters pass "-DFIXED -DCONFIG=3"               "$safety" "$pan_safety"
        run fixed-nofail    pass "-DFIXED -DCONFIG=4 -DNO_ALLOC_FAIL -DMAXD=2" "$safety" "$pan_safety"
    fi
    ;;
bugs)
    echo "== the protocol before its repairs: each fault the model found must still be found"
    run code              fail "-DCONFIG=4"                         "$safety" "$pan_safety"
    run code-stale        fail "-DCONFIG=3 -DFIX_PHASE -DFIX_PAIR -DFIX_MARK -DFIX_CURSOR"  "$safety" "$pan_safety"
    run code-cursor       fail "-DCONFIG=4 -DFIX_PHASE -DFIX_PAIR -DFIX_MARK -DFIX_STALE"   "$safety" "$pan_safety"
    echo "== faults switched on in the repaired protocol: each must be caught"
    run bug-release       fail "-DFIXED -DCONFIG=4 -DBUGGY_RELEASE"  "$safety" "$pan_safety"
    run bug-last-out      fail "-DFIXED -DCONFIG=4 -DBUGGY_LAST_OUT" "$safety" "$pan_safety"
    run bug-stale         fail "-DFIXED -DCONFIG=4 -DBUGGY_STALE"    "$safety" "$pan_safety"
    ;;
esac

if [ $failures -ne 0 ]; then
    echo "$failures run(s) went wrong"
    exit 1
fi
echo "all runs as expected"
