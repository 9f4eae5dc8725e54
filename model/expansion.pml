/*
 * Model of the cooperative expansion of the shared-memory hash map (map/,
 * shm/) in which any process may die at any instruction, checked with spin.
 * See model/README.md and model/check.sh.
 *
 * Shared words:
 *   n          bucket_chunks_in_use (s = 1 bucket per chunk)
 *   P          expansion_participants (a figure only: the doubling waits
 *              for the done-bits, not for the participants)
 *   L, RL      expansion_lock and the registry lock (0 free, else holder id)
 *   C          migration_cursor (signed)
 *   table[]    BucketChunkTable: 0 none, 1 claim marker, 2 published
 *   fwd[]      Bucket.forward: 0 or the index of the twin
 *   lk[]       bucket lock words (0 free, else holder id)
 *   cnt[], sl[]  a bucket's entry count and its entry slots (key ids; slots
 *              at or past the count are invisible to everybody but a
 *              recoverer)
 *   bm_n, bits[]  the done-bitmap of the latest expansion: its n, one bit
 *              per batch (batch = 1 bucket here)
 *   leader, leader_n  the latest claimant, as recorded in the registry
 *   rk[], rb[], ra[][]  each holder's operation record (kind, bucket, a[])
 *   es[], eb[] each holder's membership record (exp_state, exp_before)
 *   dead[], gone[]  a holder has died / its registry slot is free again
 *
 * Switches (spin -a -DNAME):
 *   CONFIG=1 two helpers + mutator; 2 helper + mutator + reader;
 *          3 two inserters (expansions start only from inserts);
 *          4 helper + mutator [default]
 *   MAXD=d   at most d deaths [1]
 *   MAXP=m   a join is refused once P > m [4]
 *   NO_ALLOC_FAIL  the leader's allocation never fails
 *   FIX_MARK   a mover takes the forward mark by compare-and-swap from 0
 *              or a stale mark, never over a later expansion's mark
 *   FIX_PHASE  the move record's fields, phase included, are written before
 *              its kind
 *   FIX_PAIR   the compaction pair (free, i) is written as one word
 *   FIX_STALE  an insert takes any earlier expansion's mark (k + m, m < n)
 *              for stale, not only the last one's
 *   FIX_CURSOR after each fetch-and-subtract of the cursor a participant
 *              stops if n has changed (the value is the next expansion's)
 *   FIXED      all five
 *   BUGGY_RELEASE  recovery releases a dead mover's lock without rolling its
 *              record forward
 *   BUGGY_LAST_OUT  the last participant to leave doubles (P == 0) instead
 *              of whoever finds every batch done
 *   BUGGY_STALE  inserts wait on a stale forward mark instead of clearing it
 */

#ifdef FIXED
#define FIX_MARK
#define FIX_PHASE
#define FIX_PAIR
#define FIX_STALE
#define FIX_CURSOR
#endif
#ifndef CONFIG
#define CONFIG 4
#endif
#ifndef MAXD
#define MAXD 1
#endif
#ifndef MAXP
#define MAXP 4
#endif

#define CAP  4                 /* bucket_chunk_number: 1 -> 2 -> 4 */
#define NB   CAP
#define K    3                 /* keys k0, k1, k2 */
#define NOKEY 3                /* an entry slot cleared to zeroes (hash 0) */
#define NH   6                 /* holder ids: _pid + 1 */
#define PUB  2
#define NEXP 2

#define BIT(k)      (1 << (k))
#define SL(b, j)    sl[(b) * K + (j)]
#define EXP(x)      ((x) == 1 -> 0 : 1)

/* op record kinds and membership states, as in string_map.hpp */
#define OP_NONE 0
#define OP_MOVE 4
#define EXP_OUT 0
#define EXP_JOINING 1
#define EXP_IN 2
#define EXP_LEAVING 3

byte n = 1;
byte P, L, RL;
short C;
byte table[CAP];
byte fwd[NB];
byte lk[NB];
byte cnt[NB];
byte sl[NB * K];
byte h[K + 1];
byte bm_n;
bit  bits[NB];
byte leader, leader_n;

/* per holder: record of the operation under way, membership record */
byte rk[NH], rb[NH];
byte ra0[NH], ra1[NH], ra2[NH], ra3[NH], ra4[NH], ra5[NH], ra6[NH], ra7[NH];
byte es[NH], eb[NH];
bit  dead[NH], gone[NH], fin[NH];
byte nd;                       /* deaths so far */

/* bookkeeping for the assertions */
byte pres;                     /* keys in the map */
bit  doubled[NEXP];
bit  inx[NH];                  /* counted in (what P should count) */
byte claimant;                 /* who put the claim marker, for the 2 s rule */

#define ME (_pid + 1)

#define LOCALS \
    byte nl, tw, i, j, fr, t, k1, tb, b, nn, sv, v, f, c2; \
    short a; \
    bit ok, r, inb, intw, ch, stale; \
    byte qb, qtw, qt, qfr, qi, qj, qv;  /* recovery's own */ \
    bit qin, qdh

/* ------------------------------------------------------------------ */
/* Recovery of a dead holder d, as recover_record / roll_forward_move /
 * recover_membership run it under the registry lock.  The record part is
 * one indivisible step (the registry lock serialises recoverers; every step
 * of it can run again, so a recoverer's death is left out of the record
 * part); the membership part may have to wait for expansion_lock. */

/* fwd v on bucket x is the mark of an expansion that has doubled: the
 * last one's (x + n/2), or with FIX_STALE any earlier one's too */
#ifdef FIX_STALE
#define OLD_MARK(x, v, nn) ((nn) >= 2 && ((x) < (nn) / 2 && (v) == (x) + (nn) / 2 || \
                            (nn) >= 4 && (x) < (nn) / 4 && (v) == (x) + (nn) / 4))
#else
#define OLD_MARK(x, v, nn) ((nn) >= 2 && (x) < (nn) / 2 && (v) == (x) + (nn) / 2)
#endif

#define MOVING(key, split) ((h[key] & (split)) != 0)

/* compaction of bucket qb from the pair (qfr, qi), qt entries, split m: the
 * loop of compact_from, run straight through (no record: the recoverer) */
inline compact_all(qb, m) {
    do
    :: qi < qt ->
        if
        :: !MOVING(SL(qb, qi), m) -> SL(qb, qfr) = SL(qb, qi); qfr++
        :: else -> skip
        fi;
        qi++
    :: else -> break
    od;
    cnt[qb] = qfr;
    qj = qfr;
    do
    :: qj < qt -> SL(qb, qj) = NOKEY; qj++
    :: else -> break
    od
}

inline record_part(d) {
    if
    :: rk[d] == OP_NONE -> skip
    :: else ->
        qb = rb[d];
        if
        :: lk[qb] != d -> rk[d] = OP_NONE      /* died between unlock and clear */
        :: else ->
#ifndef BUGGY_RELEASE
            if
            :: rk[d] == OP_MOVE ->
                qtw = ra0[d]; qt = ra2[d];
                assert(qt <= K && ra7[d] <= qt);   /* "move record inconsistent" */
                if
                :: ra4[d] == 1 ->
                    if
                    :: cnt[qtw] == ra3[d] -> skip  /* phase 1 never committed */
                    :: else ->
                        assert(cnt[qb] == qt);
                        qfr = 0;
                        do
                        :: qfr < qt && !MOVING(SL(qb, qfr), ra1[d]) -> qfr++
                        :: else -> break
                        od;
                        if
                        :: qfr < qt -> qi = qfr + 1; compact_all(qb, ra1[d])
                        :: else -> skip
                        fi
                    fi
                :: else ->
                    if
                    :: cnt[qb] == qt -> qfr = ra5[d]; qi = ra6[d]; compact_all(qb, ra1[d])
                    :: else ->
                        qj = cnt[qb];
                        do
                        :: qj < qt -> SL(qb, qj) = NOKEY; qj++
                        :: else -> break
                        od
                    fi
                fi
            :: else -> skip                   /* insert, remove: atomic here */
            fi;
#endif
            rk[d] = OP_NONE;
            lk[qb] = 0
        fi
    fi;
    qb = 0; qtw = 0; qt = 0; qfr = 0; qi = 0; qj = 0
}

/* recover_membership up to the point where it may need expansion_lock:
 * sets qin (count d out) and qdh (d holds expansion_lock) */
inline membership_part(d) {
    qin = 0;
    qdh = (L == d);
    if
    :: es[d] == EXP_OUT -> skip
    :: else ->
        qin = (es[d] == EXP_IN);
        if
        :: qdh && es[d] == EXP_JOINING -> qin = (P == eb[d] + 1)
        :: qdh && es[d] == EXP_LEAVING -> qin = (P == eb[d])
        :: !qdh && (es[d] == EXP_JOINING || es[d] == EXP_LEAVING) -> qin = (es[d] == EXP_LEAVING)
        :: else -> skip
        fi
    fi
}

/* the whole recovery of a dead holder that holds expansion_lock: nothing to
 * wait for */
inline recover_holding_L(d) {
    d_step {
        record_part(d);
        membership_part(d);
        if
        :: qin -> if :: P > 0 -> P-- :: else -> skip fi; inx[d] = 0
        :: else -> skip
        fi;
        es[d] = EXP_OUT;
        L = 0;
        gone[d] = 1;
        qin = 0; qdh = 0
    }
}

inline lock_RL() {
    do
    :: atomic { RL == 0 -> RL = ME; break }
    :: atomic { RL != 0 && dead[RL] -> RL = 0 }  /* single stores: just released */
    od;
    skip                                /* no jump into a d_step */
}

/* Registry::reclaim for a word that held d: recover d if it is dead and not
 * yet recovered, then release the word if it still holds d.  x is the
 * word: 0..NB-1 a bucket lock, NB expansion_lock. */
inline reclaim(rd, rw) {
    lock_RL();
    if
    :: !gone[rd] ->
        d_step { record_part(rd); membership_part(rd) }
        if
        :: qin && !qdh ->
            do                              /* spin_lock(expansion_lock) */
            :: atomic { L == 0 -> L = ME; break }
            :: atomic { L != 0 && dead[L] -> qv = L };
               recover_holding_L(qv); qv = 0  /* recursive registry lock */
            od;
            skip;
            d_step { if :: P > 0 -> P-- :: else -> skip fi; inx[rd] = 0 };
            es[rd] = EXP_OUT;
            d_step { assert(L == ME); L = 0 }
        :: qin && qdh ->
            d_step { if :: P > 0 -> P-- :: else -> skip fi; inx[rd] = 0 }
        :: else -> skip
        fi;
        d_step {
            es[rd] = EXP_OUT;
            if :: qdh && L == rd -> L = 0 :: else -> skip fi;
            gone[rd] = 1;
            qin = 0; qdh = 0
        }
    :: else -> skip
    fi;
    d_step { assert(RL == ME); RL = 0 };
    atomic {                                /* CAS word: rd -> 0 */
        if
        :: rw < NB && lk[rw] == rd -> lk[rw] = 0
        :: rw == NB && L == rd -> L = 0
        :: else -> skip
        fi
    }
}

inline lock(x) {
    do
    :: atomic { lk[x] == 0 -> lk[x] = ME; break }
    :: atomic { lk[x] != 0 && dead[lk[x]] -> sv = lk[x] }; reclaim(sv, x); sv = 0
    od;
    skip                                /* no jump into a d_step */
}
inline unlock(x) { d_step { assert(lk[x] == ME); lk[x] = 0 } }

inline lockL() {
    do
    :: atomic { L == 0 -> L = ME; break }
    :: atomic { L != 0 && dead[L] -> sv = L }; reclaim(sv, NB); sv = 0
    od;
    skip                                /* no jump into a d_step */
}
inline unlockL() { d_step { assert(L == ME); L = 0 } }

/* ------------------------------------------------------------------ */
/* done-bitmap */
inline bitmap_make(m) {
    atomic {
        if
        :: bm_n != m -> bm_n = m; i = 0;
            do :: i < NB -> bits[i] = 0; i++ :: else -> break od; i = 0
        :: else -> skip
        fi
    }
}
/* mark_batch: a latecomer whose table has doubled marks nothing */
inline mark_batch(m, x) {
    if
    :: n != m -> skip
    :: else ->
        bitmap_make(m);
        /* the fetch_or lands in the block bitmap_for returned: if a newer
         * bitmap has taken its place since, in an old block nobody reads */
        atomic { if :: bm_n == m -> bits[x] = 1 :: else -> skip fi }
    fi
}
#define BATCH_DONE(m, x) (bm_n == (m) && bits[x])

/* ------------------------------------------------------------------ */
/* move_bucket(f, nl) */
inline move_bucket() {
    tw = f + nl;
#ifdef FIX_MARK
    /* take the mark from 0 or from a stale mark of the previous expansion,
     * never from a later expansion's */
    atomic {
        v = fwd[f];
        if
        :: v == 0 || v == tw || v == f + nl / 2 && nl >= 2 -> fwd[f] = tw; ok = 1
        :: else -> ok = 0
        fi;
        v = 0
    }
#else
    fwd[f] = tw;                            /* exchange, before the lock */
    ok = 1;
#endif
    if
    :: !ok -> skip
    :: ok && n != nl ->                     /* latecomer: take the mark back */
        atomic { if :: fwd[f] == tw -> fwd[f] = 0 :: else -> skip fi }
    :: else ->
        lock(f);
        d_step {
            t = cnt[f]; k1 = 0; fr = t;
            i = 0;
            do
            :: i < t ->
                if
                :: MOVING(SL(f, i), nl) -> if :: k1 == 0 -> fr = i :: else -> skip fi; k1++
                :: else -> skip
                fi;
                i++
            :: else -> break
            od;
            i = 0;
            tb = cnt[tw]
        }
        if
        :: k1 == 0 -> unlock(f)             /* nothing to move (again) */
        :: else ->
#ifdef FIX_PHASE
            d_step { ra0[ME] = tw; ra1[ME] = nl; ra2[ME] = t; ra3[ME] = tb; ra7[ME] = k1 };
            ra4[ME] = 1;
            d_step { rb[ME] = f; rk[ME] = OP_MOVE };      /* rec.begin last */
#else
            d_step { rb[ME] = f; rk[ME] = OP_MOVE };      /* rec.begin */
            d_step { ra0[ME] = tw; ra1[ME] = nl; ra2[ME] = t; ra3[ME] = tb; ra7[ME] = k1 };
            ra4[ME] = 1;
#endif
            /* phase 1: the moving entries past the twin's count (nobody
             * sees them), then the count: the commit */
            d_step {
                j = tb; i = 0;
                do
                :: i < t ->
                    if
                    :: MOVING(SL(f, i), nl) -> SL(tw, j) = SL(f, i); j++
                    :: else -> skip
                    fi;
                    i++
                :: else -> break
                od;
                i = 0; j = 0
            }
            cnt[tw] = tb + k1;
            /* phase 2: compact in place, the pair recorded before each copy */
            d_step { ra5[ME] = fr; ra6[ME] = fr + 1 };
            ra4[ME] = 2;
            i = fr + 1;
            do
            :: i < t ->
                if
                :: !MOVING(SL(f, i), nl) ->
#ifdef FIX_PAIR
                    d_step { ra5[ME] = fr; ra6[ME] = i };
#else
                    ra5[ME] = fr;
                    ra6[ME] = i;
#endif
                    SL(f, fr) = SL(f, i);
                    fr++
                :: else -> skip
                fi;
                i++
            :: else -> break
            od;
            cnt[f] = fr;
            d_step {
                j = fr;
                do :: j < t -> SL(f, j) = NOKEY; j++ :: else -> break od;
                j = 0
            }
            rk[ME] = OP_NONE;               /* rec.commit */
            unlock(f)
        fi;
        d_step { t = 0; k1 = 0; fr = 0; tb = 0; i = 0 }
    fi;
    ok = 0; tw = 0
}

inline move_batch() {
    move_bucket();
    mark_batch(nl, f)
}

/* ------------------------------------------------------------------ */
/* the doubling, under expansion_lock */
inline try_double() {
    lockL();
    d_step {
        ok = 0;
        if
        :: n == nl && nl < CAP && table[nl] >= PUB ->
#ifdef BUGGY_LAST_OUT
            ok = (P == 0);
#else
            ok = (bm_n == nl);
            i = 0;
            do :: i < nl -> ok = ok && bits[i]; i++ :: else -> break od;
            i = 0;
#endif
        :: else -> skip
        fi;
        if
        :: ok ->
            /* once per expansion, over moved buckets only: every key of
             * the map is in bucket hash mod 2nl, once, and nowhere else */
            assert(!doubled[EXP(nl)]);
            doubled[EXP(nl)] = 1;
            assert(2 * nl <= CAP);
            i = 0;
            do
            :: i < 2 * nl -> assert(table[i] >= PUB); i++
            :: else -> break
            od;
            i = 0;
            do
            :: i < K ->
                j = 0; fr = 0;
                do
                :: j < NB * K ->
                    if
                    :: sl[j] == i && j % K < cnt[j / K] ->
                        assert(j / K == h[i] % (2 * nl)); fr++
                    :: else -> skip
                    fi;
                    j++
                :: else -> break
                od;
                assert(fr == ((pres & BIT(i)) -> 1 : 0));
                i++
            :: else -> break
            od;
            i = 0; j = 0; fr = 0;
            n = 2 * nl
        :: else -> skip
        fi
    }
    unlockL();
    if
    :: ok ->                                /* clear_forwards: CAS own marks */
        f = 0;
        do
        :: f < nl ->
            atomic { if :: fwd[f] == f + nl -> fwd[f] = 0 :: else -> skip fi };
            f++
        :: else -> break
        od;
        f = 0; ok = 0
    :: else -> skip
    fi
}

/* the Finish guard of expand(): count out, then try to double */
inline finish() {
    lockL();
    d_step { eb[ME] = P; es[ME] = EXP_LEAVING };
    d_step { if :: P > 0 -> P-- :: else -> skip fi; inx[ME] = 0 };
    es[ME] = EXP_OUT;
    unlockL();
    if
    :: nl > 0 && nl < CAP -> try_double()
    :: else -> skip
    fi
}

/* ------------------------------------------------------------------ */
inline lead() {
    leader = ME;
    leader_n = nl;
    if
#ifndef NO_ALLOC_FAIL
    :: atomic { if :: table[nl] == 1 -> table[nl] = 0 :: else -> skip fi };
       ch = 1                              /* thrown: straight to finish */
#endif
    :: skip ->
        bitmap_make(nl);
        C = nl - 1;
        i = 2 * nl - 1;                     /* publish, descending; CAS from 0 */
        do
        :: i > nl -> atomic { if :: table[i] == 0 -> table[i] = PUB :: else -> skip fi }; i--
        :: else -> break
        od;
        i = 0;
        atomic {
            if
            :: table[nl] == 1 ->
                /* the twins are whole (empty) when they appear */
                assert(cnt[nl] == 0 && fwd[nl] == 0 && cnt[2 * nl - 1] == 0);
                table[nl] = PUB
            :: else -> skip
            fi
        }
    fi
}

inline expand() {
    nl = n;
    ch = 0;
    if
    :: nl == 0 || nl > CAP / 2 -> ch = 1    /* damaged: refused */
    :: else -> skip
    fi;
    if
    :: ch -> skip
    :: else ->
    do
    :: ch -> break
    :: !ch && table[nl] == 0 ->
        if
        :: n != nl -> ch = 1
        :: else ->
            atomic {
                if
                :: table[nl] == 0 -> table[nl] = 1; claimant = ME; ok = 1
                :: else -> ok = 0
                fi
            };
            if :: ok -> ok = 0; lead() :: else -> skip fi
        fi
    :: !ch && table[nl] == 1 ->
        /* sleep, then withdraw a claim whose recorded leader is dead or
         * gone; a claim with no leader recorded goes after 2 s, which we
         * take to mean: its claimant is dead */
        atomic {
            (table[nl] != 1 ||
             (leader_n == nl && (dead[leader] || gone[leader] || fin[leader])) ||
             (leader_n != nl && dead[claimant])) ->
            if
            :: table[nl] == 1 -> table[nl] = 0
            :: else -> skip
            fi
        }
    :: !ch && table[nl] >= PUB -> break
    od
    fi;
    if
    :: ch || n != nl -> skip
    :: else ->
        bitmap_make(nl);
        do                                  /* batches from the cursor */
        :: d_step { a = C; C = C - 1 };
            if
            :: a < 0 -> break
#ifdef FIX_CURSOR
            :: a >= 0 && n != nl -> break   /* the next expansion's cursor */
#endif
            :: else ->
                /* "migration cursor out of range" otherwise */
                assert(a < nl);
                f = a; move_batch()
            fi
        od;
        a = 0;
        c2 = nl;                            /* then every batch not done */
        do
        :: c2 > 0 ->
            c2--;
            if
            :: n != nl -> break
            :: else -> skip
            fi;
            if
            :: !BATCH_DONE(nl, c2) -> f = c2; move_batch()
            :: else -> skip
            fi
        :: else -> break
        od;
        c2 = 0
    fi;
    ch = 0;
    finish();
    nl = 0; f = 0
}

/* join_for_load / join_for_target: under expansion_lock */
inline join() {
    lockL();
    d_step {
        ok = (P <= MAXP && 2 * n <= CAP);
        if :: ok -> eb[ME] = P; es[ME] = EXP_JOINING :: else -> skip fi
    }
    if
    :: ok ->
        d_step { P++; inx[ME] = 1 };
        es[ME] = EXP_IN
    :: else -> skip
    fi;
    unlockL();
    if
    :: ok -> ok = 0; expand()
    :: else -> skip
    fi
}

/* ------------------------------------------------------------------ */
inline insert(key) {
    ch = 1;
    do
    :: d_step { nn = n; b = h[key] % nn }
        lock(b);
        d_step {
            v = fwd[b];
            stale = (v != 0 && n == nn && OLD_MARK(b, v, nn));
            /* forward_plausible: never a mark that an insert would wait
             * on for ever ("forward word names no twin") */
            assert(v == 0 || v == b + n || OLD_MARK(b, v, n))
        }
#ifndef BUGGY_STALE
        if
        :: stale -> atomic { if :: fwd[b] == v -> fwd[b] = 0 :: else -> skip fi }; v = 0
        :: else -> skip
        fi;
#endif
        stale = 0;
        if
        :: v == 0 && n == nn ->
            d_step {
                assert(cnt[b] < K);
                SL(b, cnt[b]) = key;
                cnt[b]++;
                pres = pres | BIT(key)
            }
            unlock(b);
            b = 0; nn = 0;
            break
        :: else ->
            unlock(b);
            if
            :: v != 0 ->                    /* being split */
                if
                :: ch -> ch = 0; join()
                :: else ->
                    (fwd[b] != v || n != nn)    /* sleep until a retry can differ */
                fi
            :: else -> skip                 /* doubled under us: hash again */
            fi;
            b = 0; nn = 0; v = 0
        fi
    od;
    ch = 0;
    if                                      /* load check */
    :: skip
    :: skip -> join()
    fi
}

/* lock_bucket_pair, then search; del removes the key where it is found */
inline lookup(key, del) {
    do
    :: d_step { nn = n; b = h[key] % nn }
        lock(b);
        tw = fwd[b];
        if
        :: tw != 0 -> assert(tw > b); lock(tw)
        :: else -> skip
        fi;
        if
        :: n != nn ->
            if :: tw != 0 -> unlock(tw) :: else -> skip fi;
            unlock(b)
        :: else ->
            d_step {
                inb = 0; intw = 0; i = 0;
                do
                :: i < cnt[b] -> if :: SL(b, i) == key -> inb++; fr = i :: else -> skip fi; i++
                :: else -> break
                od;
                i = 0;
                do
                :: tw != 0 && i < cnt[tw] -> if :: SL(tw, i) == key -> intw++; fr = i :: else -> skip fi; i++
                :: else -> break
                od;
                /* found once at most: never in both, never twice */
                assert(inb + intw <= 1);
                r = (inb + intw == 1);
                if
                :: del && r ->
                    j = (inb -> b : tw);
                    SL(j, fr) = SL(j, cnt[j] - 1);
                    cnt[j]--;
                    SL(j, cnt[j]) = NOKEY;
                    pres = pres & ~BIT(key)
                :: else -> skip
                fi;
                inb = 0; intw = 0; i = 0; j = 0; fr = 0
            }
            if :: tw != 0 -> unlock(tw) :: else -> skip fi;
            unlock(b);
            break
        fi;
        tw = 0; b = 0; nn = 0
    od;
    tw = 0; b = 0; nn = 0
}

#define get(k)    lookup(k, 0)
#define remove(k) lookup(k, 1)

/* ------------------------------------------------------------------ */
/* Keys k0, k1, k2 with hashes 5, 2, 7 (101, 010, 111): at each doubling
 * some keys move and some stay.  Bucket 0 starts with k0 and k1. */

proctype Helper() {
    LOCALS;
    { join() } unless { dead[ME] };
    fin[ME] = 1
}

/* inserts k2, removes k1; a lookup of a key that is in the map must find it
 * (unless the process that removes it... no one else removes k0 and k2) */
proctype Mutator() {
    LOCALS;
    {
        insert(2);
        get(2); assert(r); r = 0;
        remove(1); assert(r); r = 0;
        get(1); assert(!r);
        get(0); assert(r); r = 0
    } unless { dead[ME] };
    fin[ME] = 1
}

proctype Reader() {
    LOCALS;
    {
        get(0); assert(r); r = 0;
        get(1); assert(r || !(pres & BIT(1))); r = 0;
        get(0); assert(r); r = 0
    } unless { dead[ME] };
    fin[ME] = 1
}

proctype Inserter(byte key) {
    LOCALS;
    {
        insert(key);
        get(key); assert(r); r = 0;
        get(0); assert(r); r = 0
    } unless { dead[ME] };
    fin[ME] = 1
}

/* kills up to MAXD processes, each at any step */
proctype Killer() {
    byte x;
end:
    do
    :: nd < MAXD ->
        select(x : 3 .. NH - 1);
        atomic {
            if
            :: !dead[x] && !fin[x] -> dead[x] = 1; nd++
            :: else -> skip
            fi;
            x = 0
        }
    :: break
    od
}

/* the survivor: once the others have returned or died, it recovers the
 * dead (as attach() does), finishes any expansion left pending (it keeps
 * helping while one is under way, as an insert that meets a mark would),
 * and checks what a user would see */
init {
    LOCALS;
    byte x, y;
    d_step {
        h[0] = 5; h[1] = 2; h[2] = 7; h[NOKEY] = 0;
        table[0] = PUB;
        SL(0, 0) = 0; SL(0, 1) = 1; cnt[0] = 2;
        x = 0;
        do :: x < NB * K -> if :: x >= 2 -> sl[x] = NOKEY :: else -> skip fi; x++ :: else -> break od;
        pres = BIT(0) | BIT(1);
        x = 0
    }
    atomic {
        run Killer();
#if CONFIG == 2
        run Helper();
        run Mutator();
        run Reader()
#elif CONFIG == 4
        fin[5] = 1;                 /* no process has id 5 */
        run Helper();
        run Mutator()
#elif CONFIG == 3
        SL(0, 1) = NOKEY; cnt[0] = 1; pres = BIT(0);
        fin[5] = 1;                 /* no process has id 5 */
        run Inserter(1);
        run Inserter(2)
#else
        run Helper();
        run Helper();
        run Mutator()
#endif
    }
    (_nr_pr == 1);
    /* recover every dead holder */
    x = 1;
    do
    :: x < NH ->
        if
        :: dead[x] ->
            /* as a waiter on each word x still holds would */
            if :: !gone[x] -> reclaim(x, NB + 1) :: else -> skip fi;
            y = 0;
            do
            :: y < NB -> if :: lk[y] == x -> lk[y] = 0 :: else -> skip fi; y++
            :: else -> break
            od;
            if :: L == x -> L = 0 :: else -> skip fi
        :: else -> skip
        fi;
        x++
    :: else -> break
    od;
    /* membership counted right (one death: no recoverer dies half-way) */
    atomic {
        x = 0; y = 0;
        do :: x < NH -> y = y + inx[x]; x++ :: else -> break od;
        assert(y == 0 && (P == 0 || MAXD > 1) && L == 0 && RL == 0)
    }
    /* no expansion stays stuck: a survivor finishes whatever is pending */
    x = 0;
    do
    :: n <= CAP / 2 && table[n] != 0 ->
        x++;
        assert(x <= NEXP + 1);
        d_step { P++; inx[ME] = 1; es[ME] = EXP_IN };
        expand()
    :: else -> break
    od;
    atomic {
        assert(n == 1 || n == 2 || n == 4);
        /* expansions doubled once each, through n */
        assert(doubled[0] == (n > 1) && doubled[1] == (n > 2));
        x = 0;
        do
        :: x < CAP ->
            /* chunks below n published; none claimed at or above it (a
             * withdrawn claim may leave chunks above n published, empty,
             * for the next leader to keep) */
            assert((x < n && table[x] >= PUB) || (x == n && table[x] == 0) ||
                   (x > n && (table[x] == 0 || table[x] == PUB) && cnt[x] == 0));
            x++
        :: else -> break
        od;
        x = 0;
        do
        :: x < NB ->
            assert(lk[x] == 0);
            /* no mark left but a stale one (a dead doubler's), which the
             * next insert into that bucket clears */
            assert(fwd[x] == 0 || OLD_MARK(x, fwd[x], n));
            x++
        :: else -> break
        od;
        /* every key in the map is in bucket hash mod n, once */
        x = 0;
        do
        :: x < K ->
            y = 0; i = 0;
            do
            :: y < NB * K ->
                if
                :: sl[y] == x && y % K < cnt[y / K] ->
                    assert(y / K == h[x] % n); i++
                :: else -> skip
                fi;
                y++
            :: else -> break
            od;
            assert(i == ((pres & BIT(x)) -> 1 : 0));
            x++
        :: else -> break
        od
    }
}
