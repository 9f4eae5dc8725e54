#!/usr/bin/env bash
# Exhaustive check of the expansion protocol model (model/expansion.pml)
# with spin.  See model/README.md.
#
#   model/check.sh              check the protocol; exit 1 on any error
#   model/check.sh --full       also two larger runs (~2-3 min and ~2.5 GB each)
#   model/check.sh --show-bugs  switch on each old fault; exit 1 unless every
#                               one of them is caught
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

safety="-DSAFETY"
pan_safety="-m100000"
liveness="-DNP"
pan_liveness="-m100000 -l -f"

case $mode in
check|full)
    echo "== safety and deadlock (assertions, invalid end states)"
    run helpers           pass "-DCONFIG=1"                  "$safety" "$pan_safety"
    run helpers-b2        pass "-DCONFIG=1 -DBATCH=2"        "$safety" "$pan_safety"
    run helpers-maxp2     pass "-DCONFIG=1 -DMAXP=2"         "$safety" "$pan_safety"
    run helpers-busy      pass "-DCONFIG=1 -DBUSY"           "$safety" "$pan_safety"
    run reader            pass "-DCONFIG=2"                  "$safety" "$pan_safety"
    run reader-b2         pass "-DCONFIG=2 -DBATCH=2"        "$safety" "$pan_safety"
    run inserters         pass "-DCONFIG=3"                  "$safety" "$pan_safety"
    run helpers-cap8      pass "-DCONFIG=1 -DCAP=8"          "$safety" "$pan_safety"
    run reader-cap8       pass "-DCONFIG=2 -DCAP=8"          "$safety" "$pan_safety"
    run inserters-cap8    pass "-DCONFIG=3 -DCAP=8"          "$safety" "$pan_safety"
    echo "== non-progress cycles (busy waits, weak fairness)"
    run np-helpers        pass "-DCONFIG=1 -DBUSY"           "$liveness" "$pan_liveness"
    run np-reader         pass "-DCONFIG=2 -DBUSY"           "$liveness" "$pan_liveness"
    run np-inserters      pass "-DCONFIG=3 -DBUSY"           "$liveness" "$pan_liveness"
    run np-reader-cap8    pass "-DCONFIG=2 -DBUSY -DCAP=8"   "$liveness" "$pan_liveness"
    run np-inserters-cap8 pass "-DCONFIG=3 -DBUSY -DCAP=8"   "$liveness" "$pan_liveness"
    if [ $mode = full ]; then
        echo "== larger runs"
        run four          pass "-DCONFIG=4"                  "$safety -DCOLLAPSE" "$pan_safety -w26"
        run np-helpers-cap8 pass "-DCONFIG=1 -DBUSY -DCAP=8" "$liveness -DCOLLAPSE" "$pan_liveness -w26"
    fi
    ;;
bugs)
    echo "== old faults switched on: each must be caught"
    run bug-join             fail "-DBUGGY_JOIN"                         "$safety" "$pan_safety"
    run bug-join-visible     fail "-DBUGGY_JOIN -DNO_GHOST -DCONFIG=2"   "$safety" "$pan_safety"
    run bug-join-double      fail "-DBUGGY_JOIN -DNO_ALLOC_FAIL -DNO_GHOST" "$safety" "$pan_safety"
    run bug-clear            fail "-DBUGGY_CLEAR"                        "$safety" "$pan_safety"
    run bug-clear-visible    fail "-DBUGGY_CLEAR -DNO_GHOST -DCONFIG=2"  "$safety" "$pan_safety"
    run bug-lookup           fail "-DBUGGY_LOOKUP -DNO_GHOST -DCONFIG=2" "$safety" "$pan_safety"
    run bug-withdraw         fail "-DBUGGY_NO_WITHDRAW"                  "$safety" "$pan_safety"
    run bug-withdraw-np      fail "-DBUGGY_NO_WITHDRAW -DBUSY"           "$liveness" "$pan_liveness"
    ;;
esac

if [ $failures -ne 0 ]; then
    echo "$failures run(s) went wrong"
    exit 1
fi
echo "all runs as expected"
