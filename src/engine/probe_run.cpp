// The probe itself: back up, journal and write the spots and the cache flush,
// read the window and the spots back, and judge.
#include "engine/probe.h"

#include <string.h>

#include "engine/probe_block.h"
#include "engine/probe_wrap.h"
#include "platform/owned.h"

namespace {

// Writes backed up, journaled and flushed to the journal's medium together:
// one journal flush per batch rather than per spot.
const uint32_t BATCH = 64;

enum { OK = 0, NOT_READ = 1, NOT_WRITTEN = 2 };

struct Run {
    const ProbeIo* io;
    const ProbePlan* plan;
    Journal* journal;
    ProbeObserver* observer;
    ProbeResult* result;
    uint64_t salt;
    ProbeProgress progress;
    unsigned char* original; // PROBE_MAX_REQUEST bytes
    unsigned char* blocks;   // PROBE_MAX_REQUEST bytes
    ProbeExtent* written;    // every extent written, in order
    uint32_t written_count;
    uint32_t spots_written;  // of which the first ones, before the flush
    uint32_t written_cap;
};

void tell(Run* r) {
    if (r->observer) r->observer->progress(r->progress);
}

int stop(Run* r) { return r->observer && r->observer->stop_requested(); }

void note_error(Run* r, uint32_t code, int write) {
    if (write) r->result->write_errors++;
    else r->result->read_errors++;
    if (r->result->first_error == 0) r->result->first_error = code ? code : 31;
}

int log_written(Run* r, ProbeExtent e) {
    if (r->written_count == r->written_cap) {
        uint32_t cap = r->written_cap ? r->written_cap * 2 : 8192;
        ProbeExtent* grown =
            (ProbeExtent*)plat_mem_realloc(r->written, (size_t)cap * sizeof(ProbeExtent));
        if (grown == nullptr) return 0;
        r->written = grown;
        r->written_cap = cap;
    }
    r->written[r->written_count++] = e;
    return 1;
}

// Backs up, journals and writes the extents in order; state[k] tells what
// became of each. A ProbeOutcome.
int write_extents(Run* r, const ProbeExtent* list, uint32_t count, unsigned char* state,
                  int counts_spots) {
    uint32_t k = 0;
    while (k < count) {
        // A group: what fits in the backup buffer, at most BATCH extents.
        uint32_t end = k;
        uint64_t bytes = 0;
        while (end < count && end - k < BATCH && bytes + list[end].length <= PROBE_MAX_REQUEST) {
            bytes += list[end].length;
            end++;
        }
        uint64_t at = 0;
        for (uint32_t i = k; i < end; i++) {
            if (stop(r)) return PROBE_STOPPED;
            uint32_t code = 0;
            state[i] = OK;
            if (list[i].offset < PROBE_KEEP_OUT ||
                !r->io->read_at(r->io->context, list[i].offset, r->original + at, list[i].length,
                                &code)) {
                if (list[i].offset >= PROBE_KEEP_OUT) note_error(r, code, 0);
                state[i] = NOT_READ;
            } else {
                r->result->bytes_read += list[i].length;
                r->progress.bytes_done += list[i].length;
                tell(r);
            }
            at += list[i].length;
        }
        // The originals reach the journal's medium before any of their writes.
        at = 0;
        for (uint32_t i = k; i < end; i++) {
            if (state[i] == OK &&
                !journal_append(r->journal, list[i].offset, r->original + at, list[i].length)) {
                r->result->journal_error = plat_last_error();
                return PROBE_JOURNAL_FAILED;
            }
            at += list[i].length;
        }
        if (!journal_flush(r->journal)) {
            r->result->journal_error = plat_last_error();
            return PROBE_JOURNAL_FAILED;
        }
        for (uint32_t i = k; i < end; i++) {
            if (state[i] != OK) continue;
            if (stop(r)) return PROBE_STOPPED;
            probe_fill(r->blocks, r->salt, list[i].offset, list[i].length);
            uint32_t code = 0;
            if (!r->io->write_at(r->io->context, list[i].offset, r->blocks, list[i].length, &code)) {
                note_error(r, code, 1);
                state[i] = NOT_WRITTEN;
            } else {
                r->result->bytes_written += list[i].length;
                if (!log_written(r, list[i])) return PROBE_NO_MEMORY;
            }
            r->progress.bytes_done += list[i].length;
            if (counts_spots) r->progress.spots_done++;
            tell(r);
        }
        k = end;
    }
    return PROBE_DONE;
}

int write_flush(Run* r, const ProbeExtent* flush, uint32_t count) {
    OwnedPages state(count);
    if (count > 0 && state.data == nullptr) return PROBE_NO_MEMORY;
    return write_extents(r, flush, count, (unsigned char*)state.data, 0);
}

// Reads one extent and judges each sector against this run's block for it;
// bad when any is not intact or the read fails. seen (may be null) gets one
// entry per sector.
int read_block(Run* r, ProbeExtent e, uint64_t* kinds, ProbeSeen* seen) {
    uint32_t sectors = e.length / PROBE_SECTOR_BYTES;
    uint32_t code = 0;
    if (!r->io->read_at(r->io->context, e.offset, r->blocks, e.length, &code)) {
        note_error(r, code, 0);
        if (seen)
            for (uint32_t s = 0; s < sectors; s++)
                seen[s] = {e.offset + (uint64_t)s * PROBE_SECTOR_BYTES, PROBE_UNREAD};
        return 1;
    }
    r->result->bytes_read += e.length;
    int bad = 0;
    for (uint32_t s = 0; s < sectors; s++) {
        uint64_t at = e.offset + (uint64_t)s * PROBE_SECTOR_BYTES;
        const unsigned char* p = r->blocks + (size_t)s * PROBE_SECTOR_BYTES;
        SectorClass c = probe_classify(p, r->salt, at);
        if (kinds) kinds[c.kind]++;
        if (c.kind != SECTOR_INTACT) bad = 1;
        if (seen) {
            uint64_t source;
            seen[s] = {at, probe_decode(p, r->salt, &source) ? source : PROBE_NOT_OURS};
        }
    }
    return bad;
}

int read_window(Run* r, ProbeSeen* seen) {
    uint64_t window = r->plan->window_bytes;
    for (uint64_t at = 0; at < window; at += PROBE_MAX_REQUEST) {
        if (stop(r)) return PROBE_STOPPED;
        uint32_t length = (uint32_t)(window - at < PROBE_MAX_REQUEST ? window - at : PROBE_MAX_REQUEST);
        uint32_t code = 0;
        ProbeSeen* out = seen + at / PROBE_SECTOR_BYTES;
        int ok = r->io->read_at(r->io->context, at, r->blocks, length, &code);
        if (!ok) note_error(r, code, 0);
        else r->result->bytes_read += length;
        for (uint32_t s = 0; s < length / PROBE_SECTOR_BYTES; s++) {
            uint64_t source = PROBE_UNREAD;
            if (ok && !probe_decode(r->blocks + (size_t)s * PROBE_SECTOR_BYTES, r->salt, &source))
                source = PROBE_NOT_OURS;
            out[s] = {at + (uint64_t)s * PROBE_SECTOR_BYTES, source};
        }
        r->progress.bytes_done += length;
        tell(r);
    }
    return PROBE_DONE;
}

// The first index of the run of bad entries that reaches the end; count when
// the last is good.
uint32_t bad_suffix(const unsigned char* bad, uint32_t count) {
    uint32_t i = count;
    while (i > 0 && bad[i - 1]) i--;
    return i;
}

int judge(Run* r, const unsigned char* bad, const ProbeSeen* seen, uint64_t seen_count) {
    ProbeResult* res = r->result;
    const ProbePlan* plan = r->plan;
    uint64_t w = probe_find_wrap(r->written, r->written_count, r->spots_written, seen, seen_count);
    if (w != 0 && w < plan->announced_bytes) {
        res->verdict = PROBE_WRAPS;
        res->wrap_bytes = w;
        res->usable_bytes = w;
        return PROBE_DONE;
    }
    uint32_t n = plan->spot_count;
    uint32_t first_bad = bad_suffix(bad, n);
    uint32_t bad_before = 0;
    for (uint32_t i = 0; i < first_bad; i++) bad_before += bad[i];
    // A drop loses everything past X: a run of bad spots to the very end, at
    // least two long and with good spots before it, and few bad ones there.
    if (first_bad > 0 && n - first_bad >= 2 && bad_before * 64 <= first_bad &&
        res->write_errors == 0) {
        // The plan's ladder keeps neighbours within 1 % of each other: the
        // good prefix ends where the last good spot does.
        uint64_t lo = plan->spots[first_bad - 1] + PROBE_SPOT_BYTES;
        res->verdict = PROBE_DROPS;
        res->drop_bytes = lo;
        res->usable_bytes = lo;
        return PROBE_DONE;
    }
    if (res->bad_positions > 0 || res->read_errors > 0 || res->write_errors > 0) {
        // Trust only what lies before the first bad spot.
        res->verdict = PROBE_FAILING;
        uint32_t i = 0;
        while (i < n && !bad[i]) i++;
        res->usable_bytes = i == 0 ? 0 : plan->spots[i - 1] + PROBE_SPOT_BYTES;
        if (i == n) res->usable_bytes = 0; // the errors were elsewhere: nothing is sure
        return PROBE_DONE;
    }
    res->verdict = PROBE_NO_FAKE_FOUND;
    res->usable_bytes = plan->announced_bytes;
    return PROBE_DONE;
}

int run_all(Run* r) {
    const ProbePlan* plan = r->plan;
    uint32_t n = plan->spot_count;
    ProbeExtent* spots = (ProbeExtent*)plat_mem_alloc(n * sizeof(ProbeExtent));
    OwnedPages state(n);
    uint64_t window_sectors = plan->window_bytes / PROBE_SECTOR_BYTES;
    uint64_t seen_count = window_sectors + (uint64_t)n * (PROBE_SPOT_BYTES / PROBE_SECTOR_BYTES);
    ProbeSeen* seen = (ProbeSeen*)plat_mem_alloc(seen_count * sizeof(ProbeSeen));
    struct Free {
        void* a;
        void* b;
        ~Free() {
            plat_mem_free(a);
            plat_mem_free(b);
        }
    } hold = {spots, seen};
    if (spots == nullptr || seen == nullptr || state.data == nullptr) return PROBE_NO_MEMORY;
    unsigned char* st = (unsigned char*)state.data;
    for (uint32_t i = 0; i < n; i++) spots[i] = {plan->spots[i], PROBE_SPOT_BYTES};

    r->progress.phase = PROBE_PHASE_SPOTS;
    tell(r);
    int outcome = write_extents(r, spots, n, st, 1);
    if (outcome != PROBE_DONE) return outcome;
    r->spots_written = r->written_count;
    r->progress.phase = PROBE_PHASE_FLUSH;
    tell(r);
    outcome = write_flush(r, plan->flush, plan->flush_count);
    if (outcome != PROBE_DONE) return outcome;

    r->progress.phase = PROBE_PHASE_READ;
    r->progress.spots_done = 0;
    tell(r);
    outcome = read_window(r, seen);
    if (outcome != PROBE_DONE) return outcome;
    ProbeResult* res = r->result;
    for (uint32_t i = 0; i < n; i++) {
        if (stop(r)) return PROBE_STOPPED;
        ProbeSeen* out = seen + window_sectors + (uint64_t)i * (PROBE_SPOT_BYTES / PROBE_SECTOR_BYTES);
        int bad;
        if (st[i] != OK) {
            bad = 1;
            for (uint32_t s = 0; s < PROBE_SPOT_BYTES / PROBE_SECTOR_BYTES; s++)
                out[s] = {spots[i].offset + (uint64_t)s * PROBE_SECTOR_BYTES, PROBE_UNREAD};
        } else {
            bad = read_block(r, spots[i], res->sector_kinds, out);
        }
        st[i] = (unsigned char)bad;
        res->positions++;
        if (bad) {
            if (res->bad_positions == 0) res->first_bad_offset = spots[i].offset;
            res->bad_positions++;
        }
        r->progress.spots_done++;
        r->progress.bytes_done += PROBE_SPOT_BYTES;
        tell(r);
    }
    for (uint64_t i = 0; i < window_sectors; i++) {
        if (seen[i].source != PROBE_NOT_OURS && seen[i].source != PROBE_UNREAD &&
            seen[i].source != seen[i].offset)
            res->window_blocks++;
    }
    return judge(r, st, seen, seen_count);
}

} // namespace

const char* probe_verdict_name(int verdict) {
    static const char* const names[] = {"no_fake_found", "wraps", "drops", "failing"};
    return verdict >= 0 && verdict <= PROBE_FAILING ? names[verdict] : "unknown";
}

int probe_run(const ProbeIo* io, const ProbePlan* plan, Journal* journal,
              ProbeObserver* observer, ProbeResult* out) {
    memset(out, 0, sizeof *out);
    out->announced_bytes = plan->announced_bytes;
    out->verdict = PROBE_FAILING;
    OwnedPages original(PROBE_MAX_REQUEST);
    OwnedPages blocks(PROBE_MAX_REQUEST);
    if (original.data == nullptr || blocks.data == nullptr) return PROBE_NO_MEMORY;
    Run r = {};
    r.io = io;
    r.plan = plan;
    r.journal = journal;
    r.observer = observer;
    r.result = out;
    r.salt = journal->header.salt;
    r.original = (unsigned char*)original.data;
    r.blocks = (unsigned char*)blocks.data;
    r.progress.spot_count = plan->spot_count;
    // Back-up reads, writes and the read-back; the restore counts its own.
    uint64_t written = (uint64_t)plan->spot_count * PROBE_SPOT_BYTES + plan->flush_bytes;
    r.progress.bytes_total = 2 * written + plan->window_bytes +
                             (uint64_t)plan->spot_count * PROBE_SPOT_BYTES;
    int outcome = run_all(&r);
    plat_mem_free(r.written);
    return outcome;
}
