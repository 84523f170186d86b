// Restore: the journal replayed last record first, then every sector read
// back against what it held before the probe.
#include <string.h>

#include <algorithm>

#include "engine/probe.h"
#include "engine/probe_block.h"
#include "platform/owned.h"

namespace {

// No record is longer (the journal refuses longer ones).
const uint64_t MAX_RECORD = 8u << 20;

struct ByOffset {
    uint64_t offset;
    uint32_t index;
};

struct Restore {
    const ProbeIo* io;
    Journal* journal;
    ProbeObserver* observer;
    ProbeRestore* out;
    ProbeProgress progress;
    ByOffset* sorted; // records by device offset, then by index
    uint32_t count;
};

void tell(Restore* r) {
    if (r->observer) r->observer->progress(r->progress);
}

void note_error(Restore* r, uint32_t code, int write) {
    if (write) r->out->write_errors++;
    else r->out->read_errors++;
    if (r->out->first_error == 0) r->out->first_error = code ? code : 31;
}

// The latest record before index that wrote offset; -1 when none did.
int64_t writer_before(const Restore* r, uint64_t offset, uint32_t index) {
    const ByOffset* end = std::upper_bound(
        r->sorted, r->sorted + r->count, offset,
        [](uint64_t v, const ByOffset& e) { return v < e.offset; });
    int64_t best = -1;
    for (const ByOffset* e = end; e != r->sorted;) {
        --e;
        if (e->offset + MAX_RECORD <= offset) break;
        const JournalRecord& rec = r->journal->records[e->index];
        if (e->index < index && offset < rec.device_offset + rec.length &&
            (int64_t)e->index > best)
            best = e->index;
    }
    return best;
}

// What a sector held before the probe, given what record index backed up
// there: a block of this run in the backup was written by an
// earlier record, whose backup tells in turn. 0 when it cannot be told.
int original_of(Restore* r, uint32_t index, unsigned char* sector) {
    uint64_t source;
    while (probe_decode(sector, r->journal->header.salt, &source)) {
        int64_t j = writer_before(r, source, index);
        if (j < 0) return 0;
        const JournalRecord& rec = r->journal->records[j];
        uint32_t moved = 0;
        if (!plat_read_at(r->journal->file.handle, rec.file_offset + (source - rec.device_offset),
                          sector, PROBE_SECTOR_BYTES, &moved) ||
            moved != PROBE_SECTOR_BYTES)
            return 0;
        index = (uint32_t)j;
    }
    return 1;
}

} // namespace

int probe_restore(const ProbeIo* io, Journal* journal, ProbeObserver* observer,
                  ProbeRestore* out) {
    memset(out, 0, sizeof *out);
    Restore r = {};
    r.io = io;
    r.journal = journal;
    r.observer = observer;
    r.out = out;
    r.count = journal->record_count;
    OwnedPages original(MAX_RECORD);
    OwnedPages device(MAX_RECORD);
    r.sorted = (ByOffset*)plat_mem_alloc(((size_t)r.count + 1) * sizeof(ByOffset));
    if (original.data == nullptr || device.data == nullptr || r.sorted == nullptr) {
        plat_mem_free(r.sorted);
        out->journal_unreadable = 1;
        return 0;
    }
    unsigned char* orig = (unsigned char*)original.data;
    unsigned char* dev = (unsigned char*)device.data;
    uint64_t total = 0;
    for (uint32_t i = 0; i < r.count; i++) {
        r.sorted[i] = {journal->records[i].device_offset, i};
        total += journal->records[i].length;
    }
    std::sort(r.sorted, r.sorted + r.count, [](const ByOffset& a, const ByOffset& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.index < b.index;
    });
    r.progress.phase = PROBE_PHASE_RESTORE;
    r.progress.bytes_total = 2 * total;
    tell(&r);

    // Last written, first restored: where two writes share a cell, the first
    // one's backup holds the original and goes back last.
    for (uint32_t i = r.count; i-- > 0;) {
        const JournalRecord& rec = journal->records[i];
        if (!journal_read_record(journal, i, orig)) {
            out->journal_unreadable = 1;
            continue;
        }
        uint32_t code = 0;
        if (!io->write_at(io->context, rec.device_offset, orig, rec.length, &code))
            note_error(&r, code, 1);
        else out->bytes_restored += rec.length;
        out->records++;
        r.progress.bytes_done += rec.length;
        tell(&r);
    }

    // The check. A drive's cache may still answer for an address with what it
    // was last given there, though the medium behind it holds the original
    // again: a record whose backup was one of this run's blocks and that reads
    // back wrong goes once more, with the originals it stands for.
    r.progress.phase = PROBE_PHASE_CHECK;
    tell(&r);
    for (uint32_t i = 0; i < r.count; i++) {
        const JournalRecord& rec = journal->records[i];
        r.progress.bytes_done += rec.length;
        uint32_t code = 0;
        if (!journal_read_record(journal, i, orig)) {
            out->journal_unreadable = 1;
            tell(&r);
            continue;
        }
        int aliased = 0;
        for (uint32_t s = 0; s < rec.length; s += PROBE_SECTOR_BYTES) {
            uint64_t source;
            aliased |= probe_decode(orig + s, journal->header.salt, &source);
        }
        int known = 1;
        for (uint32_t s = 0; s < rec.length; s += PROBE_SECTOR_BYTES)
            known &= original_of(&r, i, orig + s);
        for (int attempt = 0;; attempt++) {
            if (!io->read_at(io->context, rec.device_offset, dev, rec.length, &code)) {
                note_error(&r, code, 0);
                break;
            }
            uint64_t differing = 0;
            for (uint32_t s = 0; s < rec.length; s += PROBE_SECTOR_BYTES)
                differing += memcmp(orig + s, dev + s, PROBE_SECTOR_BYTES) != 0;
            if (differing == 0 || attempt == 1 || !aliased || !known) {
                out->sectors_checked += rec.length / PROBE_SECTOR_BYTES;
                out->sectors_differing += known ? differing : rec.length / PROBE_SECTOR_BYTES;
                break;
            }
            if (!io->write_at(io->context, rec.device_offset, orig, rec.length, &code)) {
                note_error(&r, code, 1);
                break;
            }
            out->records_rewritten++;
            out->bytes_restored += rec.length;
        }
        tell(&r);
    }
    plat_mem_free(r.sorted);
    return out->write_errors == 0 && out->read_errors == 0 && out->sectors_differing == 0 &&
           !out->journal_unreadable && !journal->damaged;
}
