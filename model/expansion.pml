/*
 * Model of the cooperative expansion of the shared-memory hash map
 * (map/ and shm/), checked with spin.  See model/README.md and
 * model/check.sh.
 *
 * What is represented:
 *   n        bucket_chunks_in_use (chunks; buckets in use = S * n)
 *   P        expansion_participants
 *   L        expansion_lock (spin lock)
 *   C        migration_cursor (signed)
 *   table[]  BucketChunkTable slots: 0 none, 1 claim marker, 2 published chunk
 *   fwd[]    Bucket.forward: 0, or the index of the twin bucket
 *   lk[]     bucket locks (0 free, else holder's _pid + 1)
 *   cont[]   bucket contents, abstracted to a bit mask of keys
 *
 * Compile-time switches (pass to spin -a as -DNAME):
 *   CONFIG=1    two helper processes + one mutator (insert/get/remove)  [default]
 *   CONFIG=2    one helper + one mutator + one reader
 *   CONFIG=3    two inserters that start expansions only from inserts
 *   CONFIG=4    two helpers + one mutator + one reader
 *   CAP=c       bucket_chunk_number, 4 (two expansions) or 8 (three)    [4]
 *   BATCH=b     buckets per cursor claim (the code uses 16)              [1]
 *   MAXP=m      join refused when P >= m (the code's limit is 4096)      [4]
 *   NO_ALLOC_FAIL  the leader's allocation never fails
 *   BUSY        every wait is a sleep-and-retry loop instead of a blocking
 *               await (used by the non-progress run)
 *   NO_GHOST    drop the bookkeeping assertions; keep only the checks a user
 *               of the map could observe (lookups, final placement, chunks)
 *   BUGGY_JOIN  helpers read n before counting in and add to P without L
 *   BUGGY_CLEAR the last participant clears forward words with a plain store
 *   BUGGY_LOOKUP get and remove ignore forward and search one bucket
 *   BUGGY_NO_WITHDRAW  a leader whose allocation fails leaves the claim
 *               marker in its slot (and counts itself out)
 */

#ifndef CONFIG
#define CONFIG 1
#endif
#ifndef BATCH
#define BATCH 1
#endif
#ifndef MAXP
#define MAXP 4
#endif

#ifndef CAP
#define CAP  4                 /* bucket_chunk_number: 4 or 8 */
#endif
#define S    1                 /* buckets per chunk */
#define NB   (S * CAP)         /* most buckets the table can ever have */
#define K    3                 /* keys */
#if CAP == 8
#define NEXP 3                 /* expansions possible: 1 -> 2 -> 4 -> 8 */
#else
#define NEXP 2                 /* expansions possible: 1 -> 2 -> 4 */
#endif
#define PUB  2                 /* any table value > 1 is a published chunk */

/* expansion number of an expansion that starts from n chunks */
#define EXP(x)     ((x) == 1 -> 0 : ((x) == 2 -> 1 : 2))
#define MOVED(e, f) moved[(e) * NB + (f)]
#define BIT(k)     (1 << (k))

byte n = 1;
byte P = 0;
byte L = 0;
short C = 0;
byte table[CAP];
byte fwd[NB];
byte lk[NB];
byte cont[NB];
byte h[K];                     /* key hashes, set once in init */

/* bookkeeping, used only by assertions */
byte moved[NEXP * NB];         /* moves of bucket f by expansion e */
bit  doubled[NEXP];            /* expansion e has doubled n */
byte pres;                     /* keys that are in the map */

#define ME (_pid + 1)

inline lock(x)   { atomic { lk[x] == 0 -> lk[x] = ME } }
inline unlock(x) { assert(lk[x] == ME); lk[x] = 0 }
inline lockL()   { atomic { L == 0 -> L = ME } }
inline unlockL() { assert(L == ME); L = 0 }

/* keys of bucket x whose hash has bit m set */
inline moving_keys(x, m, out) {
    out = 0;
    i = 0;
    do
    :: i < K ->
        if
        :: (cont[x] & BIT(i)) && (h[i] & (m)) -> out = out | BIT(i)
        :: else -> skip
        fi;
        i++
    :: else -> break
    od;
    i = 0
}

/* Every process has the same locals. */
#define LOCALS \
    byte nl, tw, mv, i, n1, b, t, e; \
    short a; \
    byte f; \
    bit ok, ld, wd, last, dbl, jn, r, inb, intw

/* ------------------------------------------------------------------ */
/* Move bucket f of the expansion from nl chunks.                      */
inline move_bucket() {
    tw = f + S * nl;
    assert(tw < NB);
    fwd[f] = tw;                        /* exchange, before the lock */
    lock(f);
    d_step {
#ifndef NO_GHOST
        /* the mover belongs to the expansion that is running */
        assert(P > 0 && n == nl && table[nl] >= PUB);
        e = EXP(nl);
        MOVED(e, f)++;
        assert(MOVED(e, f) == 1);       /* moved exactly once */
        e = 0;
#endif
        moving_keys(f, S * nl, mv)
    }
    cont[tw] = cont[tw] | mv;           /* partition: append to the twin */
    cont[f] = cont[f] & ~mv;            /* compaction of the old bucket */
    d_step { unlock(f); mv = 0; tw = 0 }
}

/* ------------------------------------------------------------------ */
/* The caller has counted itself in and set nl.                        */
inline expand() {
    assert(2 * nl <= CAP);
    atomic {                            /* CAS table[nl]: 0 -> 1 */
        if
        :: table[nl] == 0 -> table[nl] = 1; ld = 1
        :: else -> ld = 0
        fi
    }
    if
    :: ld ->                            /* leader: allocate */
        ld = 0;
        if
#ifndef NO_ALLOC_FAIL
        :: 
#ifndef BUGGY_NO_WITHDRAW
           table[nl] = 0;               /* allocation failed: give back the claim */
#endif
           wd = 1
#endif
        :: skip ->
            d_step {                    /* new chunks: twins empty, forward 0 */
                i = S * nl;
                do
                :: i < 2 * S * nl ->
                    assert(cont[i] == 0 && fwd[i] == 0 && lk[i] == 0);
                    cont[i] = 0; fwd[i] = 0;
                    i++
                :: else -> break
                od;
                i = 0
            }
            C = S * nl - 1;
            i = 2 * nl - 1;             /* publish, descending, slot nl last */
            do
            :: i > nl -> table[i] = PUB; i--
            :: else -> break
            od;
            table[nl] = PUB;
            i = 0
        fi
    :: else ->                          /* wait for publication */
        /* one read of slot nl per look; 0 means the claim was withdrawn */
#ifdef BUSY
        do                              /* sleep while the claim marker is there */
        :: table[nl] == 1 -> skip
        :: atomic { table[nl] != 1 -> wd = (table[nl] == 0) }; break
        od
#else
        atomic { table[nl] != 1 -> wd = (table[nl] == 0) }
#endif
    fi;
    if
    :: wd -> wd = 0                     /* straight to finish */
    :: else ->
        do                              /* claim batches */
        :: d_step { a = C; C = C - BATCH };
            if
            :: a < 0 -> break
            :: else -> assert(a < S * nl)   /* a bucket of this expansion */
            fi;
            f = (a - BATCH + 1 > 0 -> a - BATCH + 1 : 0);
            do
            :: f <= a -> move_bucket(); f++
            :: else -> break
            od;
            f = 0
        od;
        a = 0
    fi;
    /* finish */
    lockL();
    d_step { P--; last = (P == 0) }
    d_step {
        if
        :: last && table[nl] >= PUB ->
#ifndef NO_GHOST
            assert(n == nl);
            e = EXP(nl);
            assert(!doubled[e]);
            doubled[e] = 1;
            i = 0;
            do                          /* every old bucket moved exactly once */
            :: i < S * nl -> assert(MOVED(e, i) == 1); i++
            :: else -> break
            od;
            i = 0; e = 0;
#endif
#ifdef BUGGY_JOIN
            n = 2 * n;                  /* what the old code did */
#else
            n = 2 * nl;
#endif
            /* chunks in use all exist */
            assert(n <= CAP);
            i = 0;
            do
            :: i < n -> assert(table[i] >= PUB); i++
            :: else -> break
            od;
            i = 0;
            dbl = 1
        :: else -> dbl = 0
        fi;
        last = 0
    }
    unlockL();
    if
    :: dbl ->
        dbl = 0;
        f = 0;
        do
        :: f < S * nl ->
            d_step {
#ifdef BUGGY_CLEAR
                tw = fwd[f];
                fwd[f] = 0;
#else
                if                      /* CAS from our own mark to 0 */
                :: fwd[f] == f + S * nl -> tw = fwd[f]; fwd[f] = 0
                :: else -> tw = 0
                fi;
#endif
#ifndef NO_GHOST
                /* never wipe the mark of a later expansion */
                assert(tw == 0 || tw == f + S * nl);
#endif
                tw = 0
            }
            f++
        :: else -> break
        od;
        f = 0
    :: else -> skip
    fi;
    nl = 0
}

/* join from an insert: load too high is a nondeterministic choice */
inline join_insert() {
    lockL();
    d_step {
        if
        :: P < MAXP && 2 * n <= CAP -> P++; ok = 1
        :: else -> ok = 0
        fi
    }
    unlockL();
    if
    :: ok -> ok = 0; nl = n; expand()   /* n read after counting in */
    :: else -> skip
    fi
}

/* the exported helper: one expansion at most, towards target chunks */
inline helper(target) {
#ifdef BUGGY_JOIN
    nl = n;                             /* read before counting in */
    if
    :: nl < target && P < MAXP ->
        d_step { P++ };                 /* atomic add, no expansion_lock */
        expand()
    :: else -> nl = 0
    fi
#else
    lockL();
    d_step {
        if
        :: P < MAXP && 2 * n <= CAP && n < target -> P++; ok = 1
        :: else -> ok = 0
        fi
    }
    unlockL();
    if
    :: ok -> ok = 0; nl = n; expand()
    :: else -> skip
    fi
#endif
}

/* ------------------------------------------------------------------ */
inline insert(k) {
    jn = 0;
    do
    :: d_step { n1 = n; b = h[k] % (S * n1) }
        /* lock b, look at forward, and (if set) unlock at once */
        atomic {
            lk[b] == 0 ->
            if
            :: fwd[b] != 0 -> r = 1
            :: else -> lk[b] = ME; r = 0
            fi
        }
        if
        :: r ->                         /* bucket being moved */
            r = 0;
            if
            :: !jn -> jn = 1;
                if
                :: skip -> join_insert()
                :: skip
                fi
            :: else -> skip
            fi;
#ifndef BUSY
            (fwd[b] == 0 || n != n1);   /* sleep until a retry can succeed */
#endif
            b = 0; n1 = 0
        :: else ->
            if
            :: n != n1 -> unlock(b); b = 0; n1 = 0
            :: else ->
                d_step {
#ifndef NO_GHOST
                    /* the bucket has not been split under our feet */
                    if
                    :: 2 * n <= CAP -> assert(MOVED(EXP(n), b) == 0)
                    :: else -> skip
                    fi;
#endif
                    cont[b] = cont[b] | BIT(k);
                    pres = pres | BIT(k);
                    unlock(b); b = 0; n1 = 0
                }
                break
            fi
        fi
    od;
    jn = 0;
    if                                  /* the load check after an insert */
    :: skip
    :: skip -> join_insert()
    fi
}

/* get (del = 0) or remove (del = 1); result in r */
inline lookup(k, del) {
    do
    :: d_step { n1 = n; b = h[k] % (S * n1) }
        lock(b);
#ifdef BUGGY_LOOKUP
        t = 0;                          /* forward ignored */
#else
        t = fwd[b];
#endif
        if
        :: t != 0 -> assert(t > b); lock(t)
        :: else -> skip
        fi;
        if
        :: n != n1 ->
            d_step {
                if
                :: t != 0 -> unlock(t)
                :: else -> skip
                fi;
                unlock(b); t = 0; b = 0; n1 = 0
            }
        :: else ->
            d_step {
                inb = ((cont[b] & BIT(k)) != 0);
                intw = (t != 0 && (cont[t] & BIT(k)) != 0);
                assert(!(inb && intw));     /* seen exactly once */
#ifndef NO_GHOST
                /* a split bucket is always searched with its twin */
                if
                :: 2 * n <= CAP && t != b + S * n -> assert(MOVED(EXP(n), b) == 0)
                :: else -> skip
                fi;
#endif
                r = inb || intw;
                if
                :: del ->
                    cont[b] = cont[b] & ~BIT(k);
                    if
                    :: t != 0 -> cont[t] = cont[t] & ~BIT(k)
                    :: else -> skip
                    fi;
                    pres = pres & ~BIT(k)
                :: else -> skip
                fi;
                if
                :: t != 0 -> unlock(t)
                :: else -> skip
                fi;
                unlock(b);
                inb = 0; intw = 0; t = 0; b = 0; n1 = 0
            }
            break
        fi
    od
}

#define get(k)    lookup(k, 0)
#define remove(k) lookup(k, 1)

/* ------------------------------------------------------------------ */
/*
 * Keys k0, k1, k2 with hashes 5, 2, 7 (binary 101, 010, 111): at each
 * doubling some key moves and some stays.  Bucket 0 starts with k0 and k1.
 */

proctype Helper() {
    LOCALS;
    byte c;
    do
    :: c < 2 -> helper(CAP); c++
    :: else -> break
    od
}

/* inserts k2 (may start or join expansions), removes k1, checks results */
proctype Mutator() {
    LOCALS;
    insert(2);
    get(2);
    assert(r);                          /* own insert is visible */
    r = 0;
    remove(1);
    assert(r);                          /* k1 was present */
    r = 0;
    get(1);
    assert(!r);                         /* and is gone */
    r = 0;
    get(0);
    assert(r)                           /* never removed: always found */
}

/* looks up k0, which is never removed, across expansions */
proctype Reader() {
    LOCALS;
    get(0);
    assert(r);
    r = 0;
    get(0);
    assert(r);
    r = 0
}

/* CONFIG 3: inserts are the only joiners */
proctype Inserter(byte k) {
    LOCALS;
    insert(k);
    get(k);
    assert(r);
    r = 0;
    get(0);
    assert(r);
    r = 0
}

init {
    byte x, y;
    d_step {
        h[0] = 5; h[1] = 2; h[2] = 7;
        table[0] = PUB;
        cont[0] = BIT(0) | BIT(1);
        pres = BIT(0) | BIT(1)
    }
    atomic {
#if CONFIG == 1
        run Helper();
        run Helper();
        run Mutator()
#elif CONFIG == 2
        run Helper();
        run Mutator();
        run Reader()
#elif CONFIG == 4
        run Helper();
        run Helper();
        run Mutator();
        run Reader()
#else
        cont[0] = BIT(0);
        pres = BIT(0);
        run Inserter(1);
        run Inserter(2)
#endif
    }
    (_nr_pr == 1);
    /* final state: every process has returned */
    d_step {
        assert(P == 0 && L == 0);
        assert(n == 1 || n == 2 || n == 4 || n == 8);
        x = 0;
        do
        :: x < CAP ->
            /* chunks below n published; nothing claimed or published above */
            assert((x < n && table[x] >= PUB) || (x >= n && table[x] == 0));
            x++
        :: else -> break
        od;
        x = 0;
        do
        :: x < NB -> assert(lk[x] == 0 && fwd[x] == 0); x++
        :: else -> break
        od;
        /* every key that is in the map sits in bucket hash mod (S*n), once */
        x = 0;
        do
        :: x < K ->
            y = 0;
            do
            :: y < NB ->
                if
                :: (pres & BIT(x)) && y == h[x] % (S * n) ->
                    assert(cont[y] & BIT(x))
                :: else ->
                    assert((cont[y] & BIT(x)) == 0)
                fi;
                y++
            :: else -> break
            od;
            x++
        :: else -> break
        od;
#ifndef NO_GHOST
        /* each doubling belongs to one expansion, and vice versa */
        x = 0;
        do
        :: x < NEXP -> assert(doubled[x] == (n > (1 << x))); x++
        :: else -> break
        od;
        x = 0;
        do
        :: x < NEXP * NB ->
            y = x / NB;                 /* expansion */
            assert(MOVED(y, x % NB) ==
                   ((doubled[y] && x % NB < S * (1 << y)) -> 1 : 0));
            x++
        :: else -> break
        od
#endif
    }
}
