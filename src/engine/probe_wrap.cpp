// A drive that wraps at W keeps in cell c the last block written for any
// offset congruent to c mod W. Every displacement seen is then a multiple of
// W: the candidates are the divisors of their greatest common divisor, tried
// from the largest, and the first whose prediction matches the reads wins.
// Only blocks away from their own offset count as evidence: a sound drive
// reads back its own offsets, which any period would also predict.
#include "engine/probe_wrap.h"

#include <algorithm>

#include "platform/platform.h"

namespace {

const uint32_t SECTOR = 512;
// Each try sorts every sector read; enough for any period of a real device.
const uint32_t MAX_TRIES = 64;

uint64_t gcd(uint64_t a, uint64_t b) {
    while (b != 0) {
        uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// A piece of a written extent in cell space.
struct Piece {
    uint64_t cell;
    uint64_t end;
    uint64_t source;
    uint32_t order;
};

struct Query {
    uint64_t cell;
    uint64_t index;
};

bool later_first(const Piece* a, const Piece* b) { return a->order < b->order; }

struct Arrays {
    Piece* pieces = nullptr;
    Query* queries = nullptr;
    const Piece** heap = nullptr;
    uint64_t* last = nullptr;   // per query: what the last write there predicts
    uint64_t* before = nullptr; // per query: the last write before the flush
    ~Arrays() {
        plat_mem_free(pieces);
        plat_mem_free(queries);
        plat_mem_free(heap);
        plat_mem_free(last);
        plat_mem_free(before);
    }
};

// For each query (sorted by cell), the source of the latest piece covering
// its cell among pieces[0, n) (sorted by cell) whose order is below limit;
// PROBE_NOT_OURS where none does.
void sweep(const Piece* pieces, uint64_t n, uint32_t limit, const Query* queries, uint64_t q,
           const Piece** heap, uint64_t* predicted) {
    uint64_t next = 0, heap_size = 0;
    for (uint64_t i = 0; i < q; i++) {
        uint64_t cell = queries[i].cell;
        // The heap holds the pieces begun so far, the latest written on top,
        // and drops those that have ended when they come up.
        while (next < n && pieces[next].cell <= cell) {
            if (pieces[next].order < limit) {
                heap[heap_size++] = &pieces[next];
                std::push_heap(heap, heap + heap_size, later_first);
            }
            next++;
        }
        while (heap_size > 0 && heap[0]->end <= cell) {
            std::pop_heap(heap, heap + heap_size, later_first);
            heap_size--;
        }
        predicted[i] = heap_size > 0 ? heap[0]->source + (cell - heap[0]->cell) : PROBE_NOT_OURS;
    }
}

// Evidence for and against period w; -1 when memory runs out.
int judge(const ProbeExtent* written, uint32_t written_count, uint32_t before_flush,
          const ProbeSeen* seen, uint64_t seen_count, uint64_t w, uint64_t* agree,
          uint64_t* disagree) {
    uint64_t piece_count = 0;
    for (uint32_t k = 0; k < written_count; k++) {
        uint64_t first = written[k].offset / w, last = (written[k].offset + written[k].length - 1) / w;
        piece_count += last - first + 1;
    }
    Arrays a;
    a.pieces = (Piece*)plat_mem_alloc(piece_count * sizeof(Piece));
    a.queries = (Query*)plat_mem_alloc(seen_count * sizeof(Query));
    a.heap = (const Piece**)plat_mem_alloc(piece_count * sizeof(Piece*));
    a.last = (uint64_t*)plat_mem_alloc(seen_count * sizeof(uint64_t));
    a.before = (uint64_t*)plat_mem_alloc(seen_count * sizeof(uint64_t));
    if (!a.pieces || !a.queries || !a.heap || !a.last || !a.before) return -1;
    uint64_t n = 0;
    for (uint32_t k = 0; k < written_count; k++) {
        uint64_t at = written[k].offset, end = at + written[k].length;
        while (at < end) {
            uint64_t cell = at % w;
            uint64_t take = std::min(end - at, w - cell);
            a.pieces[n++] = {cell, cell + take, at, k};
            at += take;
        }
    }
    std::sort(a.pieces, a.pieces + n,
              [](const Piece& x, const Piece& y) { return x.cell < y.cell; });
    uint64_t q = 0;
    for (uint64_t i = 0; i < seen_count; i++) {
        if (seen[i].source != PROBE_UNREAD) a.queries[q++] = {seen[i].offset % w, i};
    }
    std::sort(a.queries, a.queries + q,
              [](const Query& x, const Query& y) { return x.cell < y.cell; });
    sweep(a.pieces, n, written_count, a.queries, q, a.heap, a.last);
    sweep(a.pieces, n, before_flush, a.queries, q, a.heap, a.before);
    *agree = *disagree = 0;
    for (uint64_t i = 0; i < q; i++) {
        const ProbeSeen& s = seen[a.queries[i].index];
        auto away = [&](uint64_t source) { return source != PROBE_NOT_OURS && source != s.offset; };
        int explained = s.source == a.last[i] || s.source == a.before[i];
        if (explained && away(s.source)) ++*agree;
        else if (!explained && (away(s.source) || away(a.last[i]) || away(a.before[i])))
            ++*disagree;
    }
    return 0;
}

// The divisors of m, largest first, into out (at most cap); their count.
uint32_t divisors_descending(uint64_t m, uint64_t* out, uint32_t cap) {
    uint64_t primes[64];
    uint32_t powers[64];
    uint32_t kinds = 0;
    for (uint64_t p = 2; p * p <= m; p += p == 2 ? 1 : 2) {
        if (m % p != 0) continue;
        primes[kinds] = p;
        powers[kinds] = 0;
        while (m % p == 0) {
            m /= p;
            powers[kinds]++;
        }
        kinds++;
    }
    if (m > 1) {
        primes[kinds] = m;
        powers[kinds++] = 1;
    }
    uint32_t count = 1;
    out[0] = 1;
    for (uint32_t k = 0; k < kinds; k++) {
        uint32_t have = count;
        uint64_t factor = 1;
        for (uint32_t e = 1; e <= powers[k]; e++) {
            factor *= primes[k];
            for (uint32_t i = 0; i < have && count < cap; i++) out[count++] = out[i] * factor;
        }
    }
    std::sort(out, out + count, [](uint64_t x, uint64_t y) { return x > y; });
    return count;
}

} // namespace

uint64_t probe_find_wrap(const ProbeExtent* written, uint32_t written_count,
                         uint32_t before_flush, const ProbeSeen* seen, uint64_t seen_count) {
    uint64_t g = 0;
    for (uint64_t i = 0; i < seen_count; i++) {
        const ProbeSeen& s = seen[i];
        if (s.source == PROBE_NOT_OURS || s.source == PROBE_UNREAD || s.source == s.offset) continue;
        g = gcd(g, s.source > s.offset ? s.source - s.offset : s.offset - s.source);
    }
    if (g < PROBE_MIN_WRAP || g % SECTOR != 0) return 0;
    // The divisor list of a number below 2^64 is at most a few hundred thousand
    // long; the largest ones are the ones tried.
    const uint32_t cap = 1u << 16;
    uint64_t* divisors = (uint64_t*)plat_mem_alloc(cap * sizeof(uint64_t));
    if (divisors == nullptr) return 0;
    uint32_t count = divisors_descending(g / SECTOR, divisors, cap);
    uint64_t found = 0;
    uint32_t tries = 0;
    for (uint32_t i = 0; i < count && tries < MAX_TRIES; i++) {
        uint64_t w = divisors[i] * SECTOR;
        if (w < PROBE_MIN_WRAP) continue;
        tries++;
        uint64_t agree, disagree;
        if (judge(written, written_count, before_flush, seen, seen_count, w, &agree, &disagree) != 0)
            break;
        // A few damaged sectors among the evidence are allowed.
        if (agree > 0 && disagree * 8 <= agree) {
            found = w;
            break;
        }
    }
    plat_mem_free(divisors);
    return found;
}
