/*
 * Model of the incremental expansion of the shared-memory hash map (map/,
 * shm/) in which any process may die at any instruction, checked with spin.
 * See model/README.md and model/check.sh.
 *
 * Shared words:
 *   n          bucket_chunks_in_use (s = 1 bucket per chunk)
 *   P          expansion_participants (a figure only: the doubling waits
 *              for the done-bits, not for the participants)
 *   L, RL      expansion_lock and the registry lock (0 free, else holder id)
 *   C          migration_cursor (signed)
 *   table[]    BucketChunkTable: 0 none, 1 claim marker, 2 a block
 *   made[]     a bucket has been initialised (ghost: a block fresh from the
 *              arena holds nothing anyone may read, not even a lock word)
 *   fwd[]      Bucket.forward: 0 or the index of the twin
 *   lk[]       bucket lock words (0 free, else holder id)
 *   cnt[], sl[]  a bucket's entry count and its entry slots (key ids; slots
 *              at or past the count are invisible to everybody but a
 *              recoverer)
 *   bm_n       the n of the done-bitmap block the header names (0: none)
 *   bits[]     the bits of every bitmap block ever made: the block of n = 1
 *              at [0], the block of n = 2 at [1..2] (one bit per batch,
 *              batch = 1 bucket); a block stays where it is when the header
 *              names a newer one, so late writers hit the old block
 *   clear_n    the table size whose doubling left marks to clear, or 0
 *   leader, leader_n  the latest claimant, as recorded in the registry
 *   rk[], rb[], ra*[]  each holder's operation record (kind, bucket, a[])
 *   es[], eb[] each holder's membership record (exp_state, exp_before)
 *   dead[], gone[], fin[]  died / registry slot freed / returned normally
 *
 * A process dies between two of its stores to shared memory: every store
 * (and every check a dead process must not make) is guarded by ALIVE, with
 * the way out to `died` beside it.  Steps on its own variables stay
 * unguarded, which lets spin's partial-order reduction skip their
 * interleavings; a dead process that still takes some of them is as good
 * as one that died at its next store.
 *
 * Switches (spin -a -DNAME):
 *   CONFIG=0 any one of 1, 2 and 3 (spin picks) [default]
 *          1 helper (two expansions) + inserter (insert k2, get k2, get k0)
 *          2 helper (one expansion) + updater (a new value for k0, which
 *            moves at 1 -> 2, remove k1, get k0)
 *          3 two inserters (insert k1 / k2, get it, get k0; k0 alone at
 *            the start): no helper, only operations expand
 *          4 helper (two expansions) + mutator (insert k2, get k2, remove
 *            k1, get k1, get k0)
 *          5 helper (one expansion) + mutator
 *          7 helper (two expansions) + mutator + reader
 *          8 two helpers (two expansions, one expansion)
 *          Allocations never fail in 1, 4, 7 and 8 (unless LEAD_FAILS)
 *   MAXD=d   at most d deaths [1]
 *   MAXP=m   a join is refused once P > m [4]
 *   SLICE=b  batches an operation's slice moves or clears [1]
 *   NO_ALLOC_FAIL  the leader's and the chunk makers' allocations never fail
 *   LEAD_FAILS  allocations may fail in 1, 4, 7 and 8 too
 *   PROGRESS_CLAIM  the survivor also requires a claim marker to go
 *          (withdrawn or published) by operations alone
 *   STRICT_CLAIM=1  error when a marker is withdrawn through a recorded
 *          claimant while its own claimant lives, or by a claimant giving
 *          up one that is not its own; =2 also through the two seconds
 *   FAIR_CLOCK  no claimant stalls two seconds: the two seconds pass only
 *          for a dead claimant or on a clock started at an earlier claim
 *   NO_LEAK  error when a claimant's publication fails (its chunk stays
 *          unused)
 *
 * Faults that a check must catch (model/check.sh --show-bugs):
 *   BUGGY_TWIN_RECHECK  an insert puts a key into the twin without checking
 *          n again after locking the twin
 *   BUGGY_MARK_FIRST    the mover marks the old bucket before initialising
 *          the twin
 *   BUGGY_NO_HOLDS      an insert puts a key into the twin without checking
 *          that the old bucket does not still hold it
 *   BUGGY_EARLY_DOUBLE  the table doubles once the cursor is spent, without
 *          asking the done-bitmap
 *   BUGGY_CLEAR_ANY     a clearer zeroes a forward word instead of taking
 *          away only its own expansion's mark
 *   BUGGY_CURSOR        a participant does not check n after taking from
 *          the cursor (the value may be the next expansion's)
 *   BUGGY_PHASE         the move record's kind is written before its fields
 *   BUGGY_RELEASE       recovery releases a dead mover's lock without
 *          rolling its record forward
 *   BUGGY_STALE         inserts take an earlier expansion's mark for the
 *          split under way instead of clearing it
 *   BUGGY_HELPER_N      a helper's expand() reads n again after its join
 *          has let go of expansion_lock
 *   BUGGY_KEEP_RECORD   a claimant that gives up (or whose publication
 *          fails) leaves its record in place
 *   BUGGY_OPS_NO_WITHDRAW  inserts and removes that meet a claim marker
 *          leave it be (only helpers and slices look at it)
 */

#ifndef CONFIG
#define CONFIG 0
#endif
#ifndef MAXD
#define MAXD 1
#endif
#ifndef MAXP
#define MAXP 4
#endif
#ifndef SLICE
#define SLICE 1
#endif

#define CAP  4                 /* bucket_chunk_number: 1 -> 2 -> 4 */
#define NB   CAP
#define K    3                 /* keys k0, k1, k2 */
#define NOKEY 3                /* an entry slot cleared to zeroes (hash 0) */
#if CONFIG == 7
#define NW 3                   /* workers, the survivor not counted */
#else
#define NW 2
#endif
#define FIRST 3                /* holder id of the first worker */
#define NH   (FIRST + NW + 1)  /* holder ids (_pid + 1): init 1, killer 2, workers, survivor */
#define PUB  2
#define NEXP 2
#define ALL  255               /* a helper's budget: no limit */
#define CLAIM 16               /* batches one cursor step claims at most */
#define ROUNDS 8               /* operations the survivor may need */

#define BIT(k)      (1 << (k))
#define SL(b, j)    sl[(b) * K + (j)]
#define EXP(x)      ((x) == 1 -> 0 : 1)
#define BI(m, x)    ((m) - 1 + (x))          /* bit of batch x in the block of m */
#define ALL_DONE(m) (bm_n == (m) && bits[BI(m, 0)] && ((m) == 1 || bits[BI(m, 1)]))

/* op record kinds and membership states, as in string_map.hpp */
#define OP_NONE 0
#define OP_MOVE 4
#define EXP_OUT 0
#define EXP_JOINING 1
#define EXP_IN 2
#define EXP_LEAVING 3

/* worker programs */
#define PR_HELPER2  1   /* python_expansion_helper twice */
#define PR_HELPER1  2   /* python_expansion_helper once */
#define PR_MUTATOR  3   /* insert k2, get k2, remove k1, get k1, get k0 */
#define PR_UPDATER  4   /* a new value for k0 (which moves at 1 -> 2), remove k1, get k0 */
#define PR_READER   5   /* get k0, get k1 (present or removed), get k0 */
#define PR_INSERT1  6   /* insert k1, get k1, get k0 */
#define PR_INSERT2  7   /* insert k2, get k2, get k0 */
#define PR_WRITER   9   /* insert k2, remove k1, get k0 */
#define PR_SURVIVOR 8   /* sweep, then operate while anything is pending */

/* operations */
#define W_END     0
#define W_INSERT  1
#define W_GET     2
#define W_REMOVE  3
#define W_HELP    4
#define W_SWEEP   5
#define W_OPERATE 6

byte n = 1;
byte P, L, RL;
short C;
byte table[CAP];
bit  made[NB];
byte fwd[NB];
byte lk[NB];
byte cnt[NB];
byte sl[NB * K];
byte h[K + 1];
byte bm_n;
bit  bits[3];
byte clear_n;
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
byte claimant;                 /* who put the latest claim marker (ghost) */
#ifdef FAIR_CLOCK
byte cid;                      /* claims so far (ghost) */
#define CLAIM_ID cid++
#else
#define CLAIM_ID skip
#endif
bit  alloc_safe;               /* allocations never fail */

#define ME (_pid + 1)
#define ALIVE     !dead[ME]
#define DIE       dead[ME] -> goto died
/* a check that only a live process makes */
#define CHECK(c)  assert(dead[ME] || (c))

#if NW == 3
#define ALL_ENDED ((fin[FIRST] || dead[FIRST]) && (fin[FIRST + 1] || dead[FIRST + 1]) && \
                   (fin[FIRST + 2] || dead[FIRST + 2]))
#else
#define ALL_ENDED ((fin[FIRST] || dead[FIRST]) && (fin[FIRST + 1] || dead[FIRST + 1]))
#endif

/* ------------------------------------------------------------------ */
/* Recovery of a dead holder d, as recover_record / roll_forward_move /
 * recover_membership run it under the registry lock.  The record part is
 * one indivisible step (the registry lock serialises recoverers; every step
 * of it can run again, so a recoverer's death is left out of the record
 * part); the membership part may have to wait for expansion_lock. */

/* fwd v on bucket x is the mark of an expansion that has doubled the table
 * to nn: a twin x + m, m = nn/2 or nn/4, x < m (stale_forward) */
#define OLD_MARK(x, v, nn) ((nn) >= 2 && ((x) < (nn) / 2 && (v) == (x) + (nn) / 2 || \
                            (nn) >= 4 && (x) < (nn) / 4 && (v) == (x) + (nn) / 4))
/* stale_forward as the code has it: any earlier expansion's mark (with
 * BUGGY_STALE_LAST only the last one's) */
#ifdef BUGGY_STALE_LAST
#define STALE_FWD(x, v, nn) ((nn) >= 2 && (x) < (nn) / 2 && (v) == (x) + (nn) / 2)
#else
#define STALE_FWD(x, v, nn) OLD_MARK(x, v, nn)
#endif
/* forward_plausible: the twin of the expansion under way or of the last */
#define PLAUSIBLE(x, v, nn) ((v) == (x) + (nn) || (nn) >= 2 && (x) < (nn) / 2 && (v) == (x) + (nn) / 2)

#define MOVING(key, split) ((h[key] & (split)) != 0)

/* compaction of bucket qb from the pair (qfr, qi), qt entries, split sp:
 * the loop of compact_from, run straight through (no record: the
 * recoverer) */
inline compact_all(qb, sp) {
    do
    :: qi < qt ->
        if
        :: !MOVING(SL(qb, qi), sp) -> SL(qb, qfr) = SL(qb, qi); qfr++
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
    if
    :: DIE
    :: d_step {
           ALIVE;
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
    fi
}

inline lock_RL() {
    do
    :: DIE
    :: atomic { ALIVE && RL == 0 -> RL = ME; break }
    :: atomic { ALIVE && RL != 0 && dead[RL] -> RL = 0 }  /* single stores: just released */
    od;
    skip
}

/* Registry::reclaim for a word that held d: recover d if it is dead and not
 * yet recovered, then release the word if it still holds d.  rw is the
 * word: 0..NB-1 a bucket lock, NB expansion_lock. */
inline reclaim(rd, rw) {
    lock_RL();
    if
    :: !gone[rd] ->
        if
        :: DIE
        :: d_step { ALIVE; record_part(rd); membership_part(rd) }
        fi;
        if
        :: qin && !qdh ->
            do                              /* spin_lock(expansion_lock) */
            :: DIE
            :: atomic { ALIVE && L == 0 -> L = ME; break }
            :: atomic { L != 0 && dead[L] -> qv = L };
               recover_holding_L(qv); qv = 0  /* recursive registry lock */
            od;
            skip;
            if
            :: DIE
            :: d_step { ALIVE; if :: P > 0 -> P-- :: else -> skip fi; inx[rd] = 0 }
            fi;
            if :: DIE :: atomic { ALIVE -> es[rd] = EXP_OUT } fi;
            if :: DIE :: d_step { ALIVE; assert(L == ME); L = 0 } fi
        :: qin && qdh ->
            if
            :: DIE
            :: d_step { ALIVE; if :: P > 0 -> P-- :: else -> skip fi; inx[rd] = 0 }
            fi
        :: else -> skip
        fi;
        if
        :: DIE
        :: d_step {
               ALIVE;
               es[rd] = EXP_OUT;
               if :: qdh && L == rd -> L = 0 :: else -> skip fi;
               gone[rd] = 1;
               qin = 0; qdh = 0
           }
        fi
    :: else -> skip
    fi;
    if :: DIE :: d_step { ALIVE; assert(RL == ME); RL = 0 } fi;
    if
    :: DIE
    :: atomic {                             /* CAS word: rd -> 0 */
           ALIVE;
           if
           :: rw < NB && lk[rw] == rd -> lk[rw] = 0
           :: rw == NB && L == rd -> L = 0
           :: else -> skip
           fi
       }
    fi
}

/* a bucket lock; the bucket must have been initialised (a block fresh from
 * the arena holds no lock word): "uninitialised bucket" otherwise */
inline lock(y) {
    do
    :: DIE
    :: atomic { ALIVE && lk[y] == 0 -> assert(made[y]); lk[y] = ME; break }
    :: atomic { ALIVE && lk[y] != 0 && dead[lk[y]] -> assert(made[y]); sv = lk[y] };
       reclaim(sv, y); sv = 0
    od;
    skip                                /* no jump into a d_step */
}
inline unlock(y) { if :: DIE :: d_step { ALIVE; assert(lk[y] == ME); lk[y] = 0 } fi }

inline lockL() {
    do
    :: DIE
    :: atomic { ALIVE && L == 0 -> L = ME; break }
    :: atomic { L != 0 && dead[L] -> sv = L }; reclaim(sv, NB); sv = 0
    od;
    skip
}
inline unlockL() { if :: DIE :: d_step { ALIVE; assert(L == ME); L = 0 } fi }

/* ------------------------------------------------------------------ */
/* bitmap_for(mm, make): bp = mm when the header names the block of mm
 * (made and named first if make and the header names an older one), else
 * 0; a block of a later expansion is never replaced */
inline bitmap_for(mm, mk) {
    if
    :: DIE
    :: atomic {
           ALIVE;
           if
           :: bm_n == mm -> bp = mm
           :: bm_n > mm -> bp = 0
           :: else ->
               if
               :: mk ->
                   /* a fresh block: nobody could have written to it */
                   assert(!bits[BI(mm, 0)] && (mm == 1 || !bits[BI(mm, 1)]));
                   bm_n = mm; bp = mm
               :: else -> bp = 0
               fi
           fi
       }
    fi
}

/* mark_batch: a latecomer whose table has doubled marks nothing; the
 * fetch_or lands in the block bitmap_for returned, even if the header has
 * named a newer one since */
inline mark_batch(mm, y) {
    if
    :: n != mm -> skip
    :: else ->
        bitmap_for(mm, 1);
        if
        :: bp != 0 -> if :: DIE :: atomic { ALIVE -> bits[BI(mm, y)] = 1 } fi
        :: else -> skip
        fi;
        bp = 0
    fi
}

/* ------------------------------------------------------------------ */
/* twin_chunk(mm, c): the chunk of the new half that holds bucket c, made
 * under expansion_lock by the first mover that needs it (chunk mm is the
 * leader's).  The survivor's allocations do not fail. */
inline twin_chunk(mm, c) {
    if
    :: c <= mm || c >= 2 * mm || c >= CAP || table[c] >= PUB -> skip
    :: else ->
        lockL();
        if
        :: table[c] >= PUB || n != mm -> skip
        :: else ->
            if
#ifndef NO_ALLOC_FAIL
            :: prog != PR_SURVIVOR && !alloc_safe -> ch = 1   /* out of memory: throws */
#endif
            :: DIE
            :: atomic { ALIVE -> table[c] = PUB }  /* a block, its buckets not made */
            fi
        fi;
        unlockL()
    fi
}

/* init_bucket(twin): nobody reaches the twin before the mark names it, so
 * it holds nothing anyone has seen */
inline init_twin() {
    if
    :: DIE
    :: d_step {
           ALIVE;
           assert(table[tw] >= PUB);        /* bucket_at: "chunk missing" */
           assert(lk[tw] == 0 && (!made[tw] || cnt[tw] == 0 && fwd[tw] == 0));
           cnt[tw] = 0; fwd[tw] = 0; lk[tw] = 0;
           i = 0;
           do :: i < K -> SL(tw, i) = NOKEY; i++ :: else -> break od;
           i = 0;
           made[tw] = 1
       }
    fi
}

/* only the holder of f's lock sets the mark, by CAS from what it saw; a
 * clearer of an earlier expansion may take a stale mark away meanwhile */
inline set_mark(mm) {
    do
    :: DIE
    :: atomic {
           ALIVE;
           if
           :: fwd[f] == seen -> fwd[f] = tw; ok = 1
           :: else -> seen = fwd[f]; ok = 0
           fi
       };
       if
       :: ok -> break
       :: else ->
           /* "forward word changed under its bucket's lock" */
           CHECK(seen == 0 || STALE_FWD(f, seen, mm))
       fi
    od;
    ok = 0
}

/* move_bucket(f, mm) */
inline move_bucket(mm) {
    tw = f + mm;
    twin_chunk(mm, tw);
    if
    :: ch -> skip
    :: else ->
        CHECK(table[tw] >= PUB);            /* bucket_at(twin): "chunk missing" */
        lock(f);
        /* not split in this expansion yet: a mark of a later expansion, or
         * a table that has doubled, means a latecomer */
        d_step { seen = fwd[f]; rt2 = seen != tw && ((seen != 0 && !STALE_FWD(f, seen, n)) || n != mm) };
        if
        :: seen != tw ->
            if
            :: rt2 -> skip
            :: else ->
#ifdef BUGGY_MARK_FIRST
                set_mark(mm);
                init_twin()
#else
                init_twin();
                set_mark(mm)
#endif
            fi
        :: else -> skip
        fi;
        if
        :: rt2 -> unlock(f)
        :: else ->
            if
            :: DIE
            :: d_step {
                   ALIVE;
                   assert(made[tw]);        /* check_bucket(twin) */
                   t = cnt[f]; k1 = 0; fr = t;
                   i = 0;
                   do
                   :: i < t ->
                       if
                       :: MOVING(SL(f, i), mm) -> if :: k1 == 0 -> fr = i :: else -> skip fi; k1++
                       :: else -> skip
                       fi;
                       i++
                   :: else -> break
                   od;
                   i = 0;
                   /* entries move only while the table has not doubled: after
                    * it, the twin is a bucket others reach directly */
                   assert(k1 == 0 || n == mm);
                   tb = cnt[tw]
               }
            fi;
            if
            :: k1 == 0 -> unlock(f)         /* nothing to move (again) */
            :: else ->
#ifdef BUGGY_PHASE
                if :: DIE :: d_step { ALIVE; rb[ME] = f; rk[ME] = OP_MOVE } fi;   /* rec.begin */
                if :: DIE :: d_step { ALIVE; ra0[ME] = tw; ra1[ME] = mm; ra2[ME] = t; ra3[ME] = tb; ra7[ME] = k1 } fi;
                if :: DIE :: atomic { ALIVE -> ra4[ME] = 1 } fi;
#else
                if :: DIE :: d_step { ALIVE; ra0[ME] = tw; ra1[ME] = mm; ra2[ME] = t; ra3[ME] = tb; ra7[ME] = k1 } fi;
                if :: DIE :: atomic { ALIVE -> ra4[ME] = 1 } fi;
                if :: DIE :: d_step { ALIVE; rb[ME] = f; rk[ME] = OP_MOVE } fi;   /* rec.begin last */
#endif
                /* phase 1: the moving entries past the twin's count (nobody
                 * sees them), then the count: the commit */
                if
                :: DIE
                :: d_step {
                       ALIVE;
                       j = tb; i = 0;
                       do
                       :: i < t ->
                           if
                           :: MOVING(SL(f, i), mm) -> SL(tw, j) = SL(f, i); j++
                           :: else -> skip
                           fi;
                           i++
                       :: else -> break
                       od;
                       i = 0; j = 0
                   }
                fi;
                if :: DIE :: atomic { ALIVE -> cnt[tw] = tb + k1 } fi;
                /* phase 2: compact in place, the pair (one word) recorded
                 * before each copy */
                if :: DIE :: d_step { ALIVE; ra5[ME] = fr; ra6[ME] = fr + 1 } fi;
                if :: DIE :: atomic { ALIVE -> ra4[ME] = 2 } fi;
                i = fr + 1;
                do
                :: i < t ->
                    if
                    :: !MOVING(SL(f, i), mm) ->
                        if :: DIE :: d_step { ALIVE; ra5[ME] = fr; ra6[ME] = i } fi;
                        if :: DIE :: atomic { ALIVE -> SL(f, fr) = SL(f, i) } fi;
                        fr++
                    :: else -> skip
                    fi;
                    i++
                :: else -> break
                od;
                if :: DIE :: atomic { ALIVE -> cnt[f] = fr } fi;
                if
                :: DIE
                :: d_step {
                       ALIVE;
                       j = fr;
                       do :: j < t -> SL(f, j) = NOKEY; j++ :: else -> break od;
                       j = 0
                   }
                fi;
                if :: DIE :: atomic { ALIVE -> rk[ME] = OP_NONE } fi;   /* rec.commit */
                unlock(f)
            fi;
            d_step { t = 0; k1 = 0; fr = 0; tb = 0; i = 0 }
        fi
    fi;
    d_step { rt2 = 0; seen = 0; tw = 0 }
}

/* move_batch_range: batch f (one bucket), then its bit */
inline move_batch(mm) {
    move_bucket(mm);
    if
    :: ch -> skip
    :: else -> mark_batch(mm, f)
    fi;
    f = 0
}

/* ------------------------------------------------------------------ */
/* clear_slice(dn, cb): the marks of at most cb batches of the expansion
 * that doubled the table to dn, each batch claimed by clearing its bit in
 * the done-bitmap (a whole word at once when the budget allows) */
inline clear_slice(dn, cb) {
    cm = dn / 2;
    bitmap_for(cm, 0);
    if
    :: bp == 0 ->
        /* the next expansion's bitmap took its place: what is left is
         * stale */
        if :: DIE :: atomic { ALIVE; if :: clear_n == dn -> clear_n = 0 :: else -> skip fi } fi
    :: else ->
        cdone = 0; rt2 = 0;
        do
        :: cdone >= cb -> rt2 = 1; break   /* budget spent: return */
        :: else ->
            if
            :: cb == ALL ->                 /* exchange(0) */
                if
                :: DIE
                :: d_step {
                       ALIVE;
                       mine = (bits[BI(cm, 0)] -> 1 : 0) |
                              (cm == 2 && bits[BI(cm, 1)] -> 2 : 0);
                       bits[BI(cm, 0)] = 0;
                       if :: cm == 2 -> bits[BI(cm, 1)] = 0 :: else -> skip fi
                   }
                fi
            :: else ->                      /* fetch_and of the lowest bit */
                if
                :: DIE
                :: d_step {
                       ALIVE;
                       if
                       :: bits[BI(cm, 0)] -> bits[BI(cm, 0)] = 0; mine = 1
                       :: !bits[BI(cm, 0)] && cm == 2 && bits[BI(cm, 1)] -> bits[BI(cm, 1)] = 0; mine = 2
                       :: else -> mine = 0
                       fi
                   }
                fi
            fi;
            if
            :: mine == 0 -> break           /* no bit left */
            :: else -> skip
            fi;
            x = 0;
            do
            :: x < cm ->
                if
                :: mine & BIT(x) ->
#ifdef BUGGY_CLEAR_ANY
                    if :: DIE :: atomic { ALIVE -> fwd[x] = 0 } fi;
#else
                    if :: DIE :: atomic { ALIVE; if :: fwd[x] == x + cm -> fwd[x] = 0 :: else -> skip fi } fi;
#endif
                    cdone++
                :: else -> skip
                fi;
                x++
            :: else -> break
            od;
            x = 0; mine = 0
        od;
        if
        :: rt2 -> skip
        :: else ->
            /* no bit left: every batch is cleared or being cleared */
            if :: DIE :: atomic { ALIVE; if :: clear_n == dn -> clear_n = 0 :: else -> skip fi } fi
        fi;
        cdone = 0; rt2 = 0
    fi;
    bp = 0; cm = 0
}

/* ------------------------------------------------------------------ */
/* the doubling, under expansion_lock: sets ok when this call doubled */
inline try_double(mm) {
    lockL();
    if
    :: DIE
    :: d_step {
           ALIVE;
           ok = 0;
           if
           :: n == mm && mm < CAP && table[mm] >= PUB ->
#ifdef BUGGY_EARLY_DOUBLE
               ok = 1
#else
               ok = ALL_DONE(mm)
#endif
           :: else -> skip
           fi;
           if
           :: ok ->
               /* once per expansion, over moved buckets only: every bucket
                * of the new table made, every key of the map in bucket hash
                * mod 2mm, once, and nowhere else */
               assert(!doubled[EXP(mm)]);
               doubled[EXP(mm)] = 1;
               assert(2 * mm <= CAP);
               i = 0;
               do
               :: i < 2 * mm -> assert(table[i] >= PUB && made[i]); i++
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
                           assert(j / K == h[i] % (2 * mm)); fr++
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
               n = 2 * mm
           :: else -> skip
           fi
       }
    fi;
    unlockL()
}

/* ------------------------------------------------------------------ */
/* drop_own_record: a claimant that gives up, or whose publication fails,
 * clears the record if it still names it (CAS leader: ME -> 0), so that a
 * record names a live process only while that process leads */
inline drop_own_record() {
#ifndef BUGGY_KEEP_RECORD
    if :: DIE :: atomic { ALIVE; if :: leader == ME -> leader = 0 :: else -> skip fi } fi
#else
    skip
#endif
}

/* a claim marker goes back to 0 (ghost checks on whose it was: lc names
 * the way, 1 a dead recorded claimant, 2 the two seconds, 3 the claimant
 * giving up its own) */
#if STRICT_CLAIM == 2
#define WITHDRAWN(lc) assert(lc == 3 && claimant == ME || lc != 3 && (dead[claimant] || gone[claimant]))
#elif STRICT_CLAIM == 1
#define WITHDRAWN(lc) assert(lc == 2 || lc == 3 && claimant == ME || lc == 1 && (dead[claimant] || gone[claimant]))
#else
#define WITHDRAWN(lc) skip
#endif

/* lead(mm): record itself (holder, then n), chunk mm and the bitmap, the
 * cursor, publish.  Allocation may fail (not the survivor's): the claimant
 * drops its record, withdraws the claim and throws (ch).  A publication
 * whose CAS finds no marker (withdrawn under a claimant taken for dead or
 * unrecorded) drops the record; the chunk stays unused (NO_LEAK: an
 * error). */
inline lead(mm) {
    if :: DIE :: atomic { ALIVE -> leader = ME } fi;
    if :: DIE :: atomic { ALIVE -> leader_n = mm } fi;
    if
#ifndef NO_ALLOC_FAIL
    :: prog != PR_SURVIVOR && !alloc_safe ->
        drop_own_record();
        if
        :: DIE
        :: atomic { ALIVE; if :: table[mm] == 1 -> WITHDRAWN(3); table[mm] = 0 :: else -> skip fi }
        fi;
        ch = 1
#endif
    :: true ->
        bitmap_for(mm, 1); bp = 0;
        if :: DIE :: atomic { ALIVE -> C = mm - 1 } fi;
        if
        :: DIE
        :: atomic {
               ALIVE;
               if
               :: table[mm] == 1 -> assert(!made[mm]); table[mm] = PUB
               :: else ->
                  wd = 1;
#ifdef NO_LEAK
                  assert(false)             /* the chunk made stays unused */
#else
                  skip
#endif
               fi
           }
        fi;
        if :: wd -> wd = 0; drop_own_record() :: else -> skip fi
    fi
}

/* look_at_claim(mm), slot mm holding the marker: withdraw it if the
 * claimant recorded for mm (leader != 0, leader_n == mm) is dead or gone,
 * or, with none recorded for mm, once this view has seen the marker at mm
 * for two seconds (cs: the slot its clock runs for; the time is a
 * nondeterministic "expired", except for the survivor, which operates long
 * enough; FAIR_CLOCK: the two seconds pass only for a dead claimant, or
 * on a clock started at an earlier claim, as with claimants that never
 * stall that long).  Withdrawing clears the record by CAS from the value read, and
 * only if that succeeds the slot by CAS from the marker. */
#ifdef FAIR_CLOCK
#define CLOCK_START csi = cid
#define CLOCK_OK    (csi != cid || dead[claimant] || gone[claimant])
#else
#define CLOCK_START skip
#define CLOCK_OK    true
#endif
inline look_at_claim(mm) {
    lr = leader;
    atomic {
        if
        :: lr != 0 && leader_n == mm -> wd = (dead[lr] || gone[lr]); lc = 1
        :: else ->
            lc = 2;
            if
            :: cs != mm -> cs = mm; CLOCK_START; wd = 0  /* the clock starts */
            :: else ->
                if
                :: CLOCK_OK -> wd = 1
                :: prog != PR_SURVIVOR -> wd = 0     /* not two seconds yet */
                :: else -> wd = 0
                fi
            fi
        fi
    };
    if
    :: wd ->
        wd = 0; cs = 0;
        if
        :: DIE
        :: atomic { ALIVE; if :: leader == lr -> leader = 0; wd = 1 :: else -> skip fi }
        fi;
        if
        :: wd ->                            /* not recorded meanwhile */
            wd = 0;
            if
            :: DIE
            :: atomic { ALIVE; if :: table[mm] == 1 -> WITHDRAWN(lc); table[mm] = 0 :: else -> skip fi }
            fi
        :: else -> skip
        fi
    :: else -> skip
    fi;
    d_step { lr = 0; lc = 0 }
}

/* participate(mm, cb): claim or wait, then at most cb batches (ALL: until
 * no batch is left open).  A slice never waits for a leader.  One loop
 * hands out the batches: first those claimed from the cursor (up to CLAIM
 * per fetch-and-subtract), then, once the cursor is spent, those still
 * open in a snapshot of the done-bitmap, highest first. */
inline participate(mm, cb) {
    rt = 0;
    if
    :: mm == 0 || mm > CAP / 2 ->
        /* "bucket chunks in use out of range": the map is reported damaged
         * and the helper's caller gets the error */
        ch = 1;
        /* only a damaged file may be refused */
        CHECK(false)
    :: else -> skip
    fi;
    do
    :: ch || rt -> break
    :: else ->
        if
        :: table[mm] == 0 ->
            if
            :: n != mm -> rt = 1            /* done meanwhile */
            :: else ->
                if
                :: DIE
                :: atomic {
                       ALIVE;
                       if
                       :: table[mm] == 0 -> table[mm] = 1; claimant = ME; CLAIM_ID; ok = 1
                       :: else -> ok = 0
                       fi
                   }
                fi;
                if :: ok -> ok = 0; lead(mm) :: else -> skip fi
            fi
        :: table[mm] >= PUB -> break
        :: table[mm] == 1 ->
            /* claimed, not yet published: a slice leaves it be unless its
             * claimant has died (or never recorded itself) */
            look_at_claim(mm);
            if
            :: cb != ALL -> rt = 1
            :: else ->
                /* sleep while a live claimant recorded for mm leads */
                if
                :: DIE
                :: atomic {
                       ALIVE && (table[mm] != 1 || leader == 0 || leader_n != mm ||
                                 dead[leader] || gone[leader]) -> skip
                   }
                fi
            fi
        fi
    od;
    if
    :: ch || rt || n != mm -> skip
    :: else ->
        bitmap_for(mm, 1); bp = 0;
        done = 0; take = 0; ci = 0; a = -1; stl = 0; ob = 0;
        do
        :: ch || rt -> break
        :: else ->
            go = 0;
            if
            :: !stl && ci < take && a >= ci ->        /* the next of this claim */
                f = a - ci; ci++; go = 1
            :: !stl && !(ci < take && a >= ci) ->
                done = done + take; take = 0; ci = 0;
                if
                :: done >= cb -> rt = 1             /* the budget is spent */
                :: else ->
                    take = (cb - done < CLAIM -> cb - done : CLAIM);
                    if :: DIE :: d_step { ALIVE; a = C; C = C - take; rt2 = (n != mm) } fi;
                    if
                    :: a < 0 ->
                        /* the cursor is spent: the batches still open (of
                         * the dead and the slow) */
                        take = 0; stl = 1;
                        bitmap_for(mm, 0);
                        if
                        :: bp == 0 -> rt = 1
                        :: else ->
                            d_step {
                                ob = (bits[BI(mm, 0)] -> 0 : 1) |
                                     (mm == 2 && !bits[BI(mm, 1)] -> 2 : 0)
                            }
                        fi;
                        bp = 0
#ifndef BUGGY_CURSOR
                    :: a >= 0 && rt2 -> rt = 1      /* the next expansion's cursor */
#endif
                    :: else ->
                        CHECK(a < mm)               /* "migration cursor out of range" */
                    fi;
                    rt2 = 0
                fi
            :: stl ->
                if
                :: done >= cb || ob == 0 -> rt = 1
                :: else ->
                    d_step { f = (ob & 2 -> 1 : 0); ob = ob & ~BIT(f) };
                    if
                    :: n != mm -> rt = 1
                    :: else -> done++; go = 1
                    fi
                fi
            fi;
            if
            :: go -> go = 0; move_batch(mm)
            :: else -> skip
            fi
        od;
        skip;
        d_step { done = 0; take = 0; ci = 0; a = 0; stl = 0; ob = 0; f = 0 }
    fi;
    rt = 0
}

/* a helper (bud == ALL: join_for_target, then expand()) or a slice (bud ==
 * SLICE: expand_slice(m)): join, take part, then the Finish guard: count
 * out and, the cursor spent, try to double; the doubler then clears marks
 * (clear_n, and a budget's worth, left to the end of the operation: cdn) */
inline join_and_expand() {
    lockL();
    if
    :: DIE
    :: d_step {
           ALIVE;
           ok = (P <= MAXP && 2 * n <= CAP && (bud == ALL || n == m));
#ifndef BUGGY_HELPER_N
           m = n;
#endif
           if :: ok -> eb[ME] = P; es[ME] = EXP_JOINING :: else -> skip fi
       }
    fi;
    if
    :: ok ->
        if :: DIE :: d_step { ALIVE; P++; inx[ME] = 1 } fi;
        if :: DIE :: atomic { ALIVE -> es[ME] = EXP_IN } fi
    :: else -> skip
    fi;
    unlockL();
    if
    :: ok ->
        ok = 0;
        /* helper and slice alike work on the n their join checked under
         * expansion_lock (BUGGY_HELPER_N: a helper reads n again) */
#ifdef BUGGY_HELPER_N
        if :: bud == ALL -> m = n :: else -> skip fi;
#endif
        do
        :: participate(m, bud);
            if
            :: ch || bud != ALL -> break
            :: n != m ->
                /* doubled by another: a helper helps clear its marks */
                if :: clear_n == 2 * m -> cdn = 2 * m; cbud = ALL :: else -> skip fi;
                break
            :: else ->
                if
                :: C < 0 ->
                    try_double(m);
                    if :: ok -> ok = 0; dbl = 1; break :: else -> skip fi
                :: else -> skip
                fi                          /* the last movers are finishing */
            fi
        od;
        lockL();
        if :: DIE :: d_step { ALIVE; eb[ME] = P; es[ME] = EXP_LEAVING } fi;
        if :: DIE :: d_step { ALIVE; if :: P > 0 -> P-- :: else -> skip fi; inx[ME] = 0 } fi;
        if :: DIE :: atomic { ALIVE -> es[ME] = EXP_OUT } fi;
        unlockL();
        if
        :: !dbl && C < 0 -> try_double(m); dbl = ok; ok = 0
        :: else -> skip
        fi;
        if
        :: dbl ->                           /* after_doubling */
            dbl = 0;
            if :: DIE :: atomic { ALIVE -> clear_n = 2 * m } fi;
            cdn = 2 * m; cbud = bud
        :: else -> skip
        fi;
        ch = 0
    :: else -> skip
    fi;
    m = 0
}

/* after_write(appended): a slice of the expansion under way, or of the one
 * the load calls for, or of the marks a doubling left */
inline after_write() {
    m = n;
    if
    :: 2 * m <= CAP && table[m] >= PUB -> bud = SLICE
    :: 2 * m <= CAP && table[m] == 0 && app -> bud = SLICE   /* over the load */
#ifndef BUGGY_OPS_NO_WITHDRAW
    :: 2 * m <= CAP && table[m] == 1 -> lk1 = 1             /* a claim */
#endif
    :: else -> skip
    fi;
    if
    :: bud != 0 -> join_and_expand(); bud = 0
    :: lk1 -> lk1 = 0; look_at_claim(m); m = 0
    :: else ->
        if
        :: clear_n != 0 && clear_n == m -> cdn = m; cbud = SLICE
        :: else -> skip
        fi;
        m = 0
    fi;
    app = 0
}

/* ------------------------------------------------------------------ */
inline insert(key) {
    do
    :: d_step { nn = n; b = h[key] % nn };
        lock(b);
        d_step { v = fwd[b]; again = (n != nn) };
        if
        :: again -> again = 0; unlock(b)    /* doubled under us: hash again */
        :: else ->
#ifndef BUGGY_STALE
            if
            :: v != 0 && STALE_FWD(b, v, nn) ->
                /* an expansion that has doubled the table left it */
                if :: DIE :: atomic { ALIVE; if :: fwd[b] == v -> fwd[b] = 0 :: else -> skip fi } fi;
                v = 0
            :: else -> skip
            fi;
#endif
            tg = b;
            if
            :: v != 0 ->
                /* forward_plausible, else "forward word names no twin" */
                CHECK(PLAUSIBLE(b, v, nn));
                /* split in the expansion under way: a key with the split bit
                 * goes to the twin, unless it is still here (a move that
                 * recovery rolled back) */
                d_step {
                    inb = 0;
                    i = 0;
#ifndef BUGGY_NO_HOLDS
                    do
                    :: i < cnt[b] -> if :: SL(b, i) == key -> inb = 1 :: else -> skip fi; i++
                    :: else -> break
                    od;
#endif
                    i = 0
                };
                if
                :: (h[key] & nn) != 0 && !inb ->
                    tg = v;
                    lock(tg)
                :: else -> skip
                fi;
                inb = 0
            :: else -> skip
            fi;
            if
            :: DIE
            :: d_step {
                   ALIVE;
#ifndef BUGGY_TWIN_RECHECK
                   /* the table may have doubled before the twin was locked,
                    * and the next expansion moved the twin's entries on */
                   again = (tg != b && n != nn);
#endif
                   if
                   :: again -> skip
                   :: else ->
                       inb = 0; i = 0;
                       do
                       :: i < cnt[tg] -> if :: SL(tg, i) == key -> inb = 1 :: else -> skip fi; i++
                       :: else -> break
                       od;
                       i = 0;
                       if
                       :: inb -> app = 0        /* a new value for the key */
                       :: else ->
                           assert(cnt[tg] < K);
                           /* appended: into a bucket that held entries
                            * (an empty one takes no load check) */
                           app = (cnt[tg] != 0);
                           SL(tg, cnt[tg]) = key;
                           cnt[tg]++;
                           pres = pres | BIT(key)
                       fi;
                       inb = 0
                   fi
               }
            fi;
            if :: tg != b -> unlock(tg) :: else -> skip fi;
            unlock(b);
            if
            :: again -> again = 0           /* hash again */
            :: else -> break
            fi
        fi;
        d_step { b = 0; nn = 0; v = 0; tg = 0 }
    od;
    skip;
    d_step { b = 0; nn = 0; v = 0; tg = 0 }
}

/* lock_bucket_pair, then search; del removes the key where it is found */
inline lookup(key) {
    do
    :: d_step { nn = n; b = h[key] % nn };
        lock(b);
        tw = fwd[b];
        if
        :: tw != 0 -> lock(tw)              /* made, or "uninitialised bucket" */
        :: else -> skip
        fi;
        if
        :: DIE
        :: d_step {
               ALIVE;
               assert(tw == 0 || tw > b);
               again = (n != nn);
               if
               :: again -> skip
               :: else ->
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
                   assert(want == 2 || r == want);
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
               fi
           }
        fi;
        if :: tw != 0 -> unlock(tw) :: else -> skip fi;
        unlock(b);
        if
        :: again -> again = 0               /* doubled meanwhile: hash again */
        :: else -> break
        fi;
        d_step { tw = 0; b = 0; nn = 0 }
    od;
    skip;
    d_step { tw = 0; b = 0; nn = 0 }
}

/* ------------------------------------------------------------------ */
/* The survivor's first step: once every other worker has returned or died,
 * it recovers the dead, as attach() and waiters on their words would. */
inline sweep() {
    ALL_ENDED;
    y = 1;
    do
    :: y < NH ->
        if
        :: dead[y] ->
            if :: !gone[y] -> reclaim(y, NB + 1) :: else -> skip fi;
            d_step {
                z = 0;
                do
                :: z < NB -> if :: lk[z] == y -> lk[z] = 0 :: else -> skip fi; z++
                :: else -> break
                od;
                z = 0;
                if :: L == y -> L = 0 :: else -> skip fi
            }
        :: else -> skip
        fi;
        y++
    :: else -> break
    od;
    skip;
    /* membership counted right (one death: no recoverer dies half-way) */
    d_step {
        y = 0; z = 0;
        do :: y < NH -> z = z + inx[y]; y++ :: else -> break od;
        assert(z == 0 && (P == 0 || MAXD > 1) && L == 0 && RL == 0);
        y = 0; z = 0
    }
}

/* an expansion left half-done is finished, and the marks of a doubling
 * cleared, by operations that go on (each an update or a removal, followed
 * by its slice): the survivor keeps operating while either is pending, at
 * most ROUNDS times */
#ifdef PROGRESS_CLAIM
#define PENDING ((n <= CAP / 2 && table[n] != 0) || (clear_n != 0 && clear_n == n))
#else
#define PENDING ((n <= CAP / 2 && table[n] >= PUB) || (clear_n != 0 && clear_n == n))
#endif

/* ------------------------------------------------------------------ */
/* Workers run programs of operations, one branch per kind, so that every
 * inline is expanded once.  want: 1 found, 0 not found, 2 either. */
inline fetch_op() {
    d_step {
        op = W_END; key = 0; want = 2;
        if
        :: prog == PR_HELPER2 && pc < 2 -> op = W_HELP
        :: prog == PR_HELPER1 && pc < 1 -> op = W_HELP
        :: prog == PR_MUTATOR ->
            if
            :: pc == 0 -> op = W_INSERT; key = 2
            :: pc == 1 -> op = W_GET; key = 2; want = 1
            :: pc == 2 -> op = W_REMOVE; key = 1; want = 1
            :: pc == 3 -> op = W_GET; key = 1; want = 0
            :: pc == 4 -> op = W_GET; key = 0; want = 1
            :: else -> skip
            fi
        :: prog == PR_WRITER ->
            if
            :: pc == 0 -> op = W_INSERT; key = 2
            :: pc == 1 -> op = W_REMOVE; key = 1; want = 1
            :: pc == 2 -> op = W_GET; key = 0; want = 1
            :: else -> skip
            fi
        :: prog == PR_UPDATER ->
            if
            :: pc == 0 -> op = W_INSERT; key = 0
            :: pc == 1 -> op = W_REMOVE; key = 1; want = 1
            :: pc == 2 -> op = W_GET; key = 0; want = 1
            :: else -> skip
            fi
        :: prog == PR_READER ->
            if
            :: pc == 0 || pc == 2 -> op = W_GET; key = 0; want = 1
            :: pc == 1 -> op = W_GET; key = 1
            :: else -> skip
            fi
        :: prog == PR_INSERT1 || prog == PR_INSERT2 ->
            if
            :: pc == 0 -> op = W_INSERT; key = prog - PR_INSERT1 + 1
            :: pc == 1 -> op = W_GET; key = prog - PR_INSERT1 + 1; want = 1
            :: pc == 2 -> op = W_GET; key = 0; want = 1
            :: else -> skip
            fi
        :: prog == PR_SURVIVOR ->
            if
            :: pc == 0 -> op = W_SWEEP
            :: pc == 1 -> op = W_OPERATE
            :: else -> skip
            fi
        :: else -> skip
        fi
    }
}

proctype Worker(byte prog) {
    byte m, bud, done, take, ob, x, bp, ci;
    byte tw, seen, i, j, fr, t, k1, tb, f;
    byte nn, b, v, tg, cm, cdone, mine;
    short a;
    bit ok, r, ch, rt, rt2, app, inb, intw, again, stl, go, dbl, del, wr;
    byte lr, cs, lc;                        /* look_at_claim: leader read, clock, way */
#ifdef FAIR_CLOCK
    byte csi;                               /* the claim its clock started at */
#endif
    bit wd, lk1;
    byte qb, qtw, qt, qfr, qi, qj, qv, sv;  /* recovery's own */
    bit qin, qdh;
    byte pc, op, key, want, y, z, cdn, cbud;

    do
    :: fetch_op();
        if
        :: op == W_END -> break
        :: op == W_INSERT -> insert(key); wr = 1
        :: op == W_GET || op == W_REMOVE ->
            del = (op == W_REMOVE);
            lookup(key);
            wr = del && r; del = 0; r = 0
        :: op == W_HELP -> bud = ALL; join_and_expand(); bud = 0
        :: op == W_SWEEP -> sweep()
        :: op == W_OPERATE ->
            if
            :: PENDING -> y++; assert(y <= ROUNDS); wr = 1; pc--
            :: else -> y = 0
            fi
        fi;
        if
        :: wr -> wr = 0; after_write()
        :: else -> skip
        fi;
        if
        :: cdn != 0 -> clear_slice(cdn, cbud); cdn = 0; cbud = 0
        :: else -> skip
        fi;
        d_step { pc++; op = 0; key = 0; want = 0 }
    od;
    if :: DIE :: atomic { ALIVE -> fin[ME] = 1 } fi;
died:
    skip
}

/* kills up to MAXD workers (not the survivor), each between any two of its
 * stores */
#define KILL(w) atomic { nd < MAXD && !dead[w] && !fin[w] -> dead[w] = 1; nd++ }
proctype Killer() {
end:
    do
    :: KILL(FIRST)
    :: KILL(FIRST + 1)
#if NW == 3
    :: KILL(FIRST + 2)
#endif
    od
}

/* starts the killer, the workers and the survivor; once all have ended,
 * checks what a user would see */
init {
    byte y, z, i, cfg;
    d_step {
        h[0] = 5; h[1] = 2; h[2] = 7; h[NOKEY] = 0;
        table[0] = PUB; made[0] = 1;
        SL(0, 0) = 0; SL(0, 1) = 1; cnt[0] = 2;
        y = 0;
        do :: y < NB * K -> if :: y >= 2 -> sl[y] = NOKEY :: else -> skip fi; y++ :: else -> break od;
        pres = BIT(0) | BIT(1);
        y = 0
    };
#if CONFIG == 0
    if
    :: cfg = 1
    :: cfg = 2
    :: cfg = 3
    fi;
#else
    cfg = CONFIG;
#endif
    atomic {
        run Killer();
        if
        :: cfg == 1 ->
#ifndef LEAD_FAILS
            alloc_safe = 1;
#endif
            run Worker(PR_HELPER2);
            run Worker(PR_INSERT2)
        :: cfg == 2 ->
            run Worker(PR_HELPER1);
            run Worker(PR_UPDATER)
        :: cfg == 3 ->
            SL(0, 1) = NOKEY; cnt[0] = 1; pres = BIT(0);
            run Worker(PR_INSERT1);
            run Worker(PR_INSERT2)
        :: cfg == 4 ->
#ifndef LEAD_FAILS
            alloc_safe = 1;
#endif
            run Worker(PR_HELPER2);
            run Worker(PR_MUTATOR)
        :: cfg == 5 ->
            run Worker(PR_HELPER1);
            run Worker(PR_MUTATOR)
        :: cfg == 8 ->
#ifndef LEAD_FAILS
            alloc_safe = 1;
#endif
            run Worker(PR_HELPER2);
            run Worker(PR_HELPER1)
#if NW == 3
        :: cfg == 7 ->
#ifndef LEAD_FAILS
            alloc_safe = 1;
#endif
            run Worker(PR_HELPER2);
            run Worker(PR_MUTATOR);
            run Worker(PR_READER)
#endif
        fi;
        run Worker(PR_SURVIVOR)
    };
    fin[NH - 1];                    /* the survivor has finished */
    d_step {
        assert(n == 1 || n == 2 || n == 4);
        /* expansions doubled once each, through n */
        assert(doubled[0] == (n > 1) && doubled[1] == (n > 2));
        y = 0;
        do
        :: y < CAP ->
            /* chunks below n there and made; none at or above it but a
             * claim marker on slot n, which only a dead claimant leaves
             * (not with PROGRESS_CLAIM) */
            assert((y < n && table[y] >= PUB && made[y]) ||
                   (y >= n && (table[y] == 0 || table[y] == 1 && y == n) && !made[y]));
            y++
        :: else -> break
        od;
        y = 0;
        do
        :: y < NB ->
            assert(lk[y] == 0);
            /* no mark left but a stale one, which an insert into that
             * bucket clears and a lookup merely follows */
            assert(fwd[y] == 0 || OLD_MARK(y, fwd[y], n));
            y++
        :: else -> break
        od;
        /* every key in the map is in bucket hash mod n, once */
        y = 0;
        do
        :: y < K ->
            z = 0; i = 0;
            do
            :: z < NB * K ->
                if
                :: sl[z] == y && z % K < cnt[z / K] ->
                    assert(z / K == h[y] % n); i++
                :: else -> skip
                fi;
                z++
            :: else -> break
            od;
            assert(i == ((pres & BIT(y)) -> 1 : 0));
            y++
        :: else -> break
        od
    }
}
