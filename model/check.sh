#!/usr/bin/env bash
# Exhaustive check of the expansion protocol model (model/expansion.pml)
# with spin.  See model/README.md.
#
#   model/check.sh              the protocol as map/ runs it must pass;
#                               exit 1 otherwise (about 75 s, 1.3 GB)
#   model/check.sh --full       also larger runs (the five-operation
#                               mutator, helpers whose allocations may
#                               fail, two deaths)
#   model/check.sh --show-bugs  faults switched on in the protocol, among
#                               them the three earlier faults of map/, and
#                               the fault of map/ the model finds: exit 1
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
        -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
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
    local errors stored depth wall mem
    errors=$(sed -n 's/.*errors: \([0-9][0-9]*\).*/\1/p' "$out" | tail -1)
    stored=$(sed -n 's/^ *\([0-9.e+]*\) states, stored.*/\1/p' "$out" | tail -1)
    depth=$(sed -n 's/.*depth reached \([0-9]*\).*/\1/p' "$out" | tail -1)
    mem=$(sed -n 's/^ *\([0-9.]*\).total actual memory usage.*/\1/p' "$out" | tail -1)
    wall=$(cat "$dir/wall.txt")
    local incomplete=0
    grep -q "max search depth too small" "$out" && incomplete=1
    grep -q "out of memory\|reached -DMEMLIM bound" "$out" && incomplete=1
    local what
    what=$(grep -m1 -E '^pan:[0-9]+: ' "$out" | sed 's/^pan:[0-9]*: //')

    printf '[%s] spin %s | cc %s | pan %s\n' "$name" "$dflags" "$cflags" "$pflags"
    printf '    states stored %s, depth reached %s, errors %s, %ss, %s MB\n' \
        "${stored:-?}" "${depth:-?}" "${errors:-?}" "$wall" "${mem:-?}"
    [ -n "$what" ] && printf '    found: %s\n' "$what"

    if [ "$expect" = pass ]; then
        if [ "${errors:-1}" != 0 ] || [ $incomplete -ne 0 ]; then
            echo "    FAILED (expected no error)"
            [ $incomplete -ne 0 ] && echo "    search incomplete"
            if [ -f "$dir/expansion.pml.trail" ]; then
                echo "    trail:"
                # shellcheck disable=SC2086
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

safety="-DSAFETY -DCOLLAPSE -DMEMLIM=4000"
big="-DSAFETY -DCOLLAPSE -DMEMLIM=8000"
pan_safety="-m100000"

case $mode in
check|full)
    echo "== the protocol as map/ runs it (model/README.md): must pass"
    # CONFIG=0: helper (two expansions) + inserter, helper + updater, two
    # inserters; one death anywhere; a claim marker must go by operations
    run incremental       pass "-DCONFIG=0 -DPROGRESS_CLAIM"        "$safety" "$pan_safety"
    if [ $mode = full ]; then
        echo "== larger runs"
        run mutator-one   pass "-DCONFIG=5 -DPROGRESS_CLAIM"        "$big" "$pan_safety"
        run mutator       pass "-DCONFIG=4 -DPROGRESS_CLAIM"        "$big" "$pan_safety"
        run inserter-fails pass "-DCONFIG=1 -DLEAD_FAILS -DPROGRESS_CLAIM" "$big" "$pan_safety"
        run two-helpers   pass "-DCONFIG=8 -DLEAD_FAILS -DPROGRESS_CLAIM" "$big" "$pan_safety"
        run two-deaths    pass "-DCONFIG=2 -DMAXD=2"                "$big" "$pan_safety"
    fi
    ;;
bugs)
    echo "== faults switched on in the protocol: each must be caught"
    run bug-twin-recheck  fail "-DCONFIG=1 -DBUGGY_TWIN_RECHECK"    "$safety" "$pan_safety"
    run bug-mark-first    fail "-DCONFIG=1 -DBUGGY_MARK_FIRST"      "$safety" "$pan_safety"
    run bug-no-holds      fail "-DCONFIG=2 -DBUGGY_NO_HOLDS"        "$safety" "$pan_safety"
    run bug-early-double  fail "-DCONFIG=1 -DBUGGY_EARLY_DOUBLE"    "$safety" "$pan_safety"
    run bug-clear-any     fail "-DCONFIG=1 -DBUGGY_CLEAR_ANY"       "$safety" "$pan_safety"
    run bug-cursor        fail "-DCONFIG=1 -DBUGGY_CURSOR"          "$safety" "$pan_safety"
    run bug-phase         fail "-DCONFIG=1 -DBUGGY_PHASE"           "$safety" "$pan_safety"
    run bug-release       fail "-DCONFIG=1 -DBUGGY_RELEASE"         "$safety" "$pan_safety"
    run bug-stale         fail "-DCONFIG=3 -DBUGGY_STALE"           "$safety" "$pan_safety"
    echo "== earlier faults of map/ (model/README.md): each must be caught"
    run bug-helper-n      fail "-DCONFIG=8 -DBUGGY_HELPER_N"        "$safety" "$pan_safety"
    run bug-keep-record   fail "-DCONFIG=1 -DLEAD_FAILS -DBUGGY_KEEP_RECORD" "$safety" "$pan_safety"
    run bug-ops-no-withdraw fail "-DCONFIG=3 -DPROGRESS_CLAIM -DBUGGY_OPS_NO_WITHDRAW" "$safety" "$pan_safety"
    echo "== a fault of map/ the model finds (model/README.md): caught until repaired"
    run code-stale-clock  fail "-DCONFIG=8 -DLEAD_FAILS -DFAIR_CLOCK -DSTRICT_CLAIM=2" "$safety" "$pan_safety"
    ;;
esac

if [ $failures -ne 0 ]; then
    echo "$failures run(s) went wrong"
    exit 1
fi
echo "all runs as expected"
