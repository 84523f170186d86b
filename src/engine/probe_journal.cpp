// The journal file: header, then records appended in the order of the writes
// they guard. Every number is little-endian; texts are UTF-8.
#include "engine/probe_journal.h"

#include <string.h>

#include "engine/probe_block.h"
#include "engine/probe_plan.h"
#include "platform/utf8.h"

namespace {

const unsigned char HEADER_MAGIC[8] = {'d', 't', 'p', 'r', 'o', 'b', 'e', 'J'};
const uint64_t RECORD_MAGIC = 0x64726F6365526A64ull;
const uint32_t FIXED_HEADER = 48;
const uint32_t RECORD_HEAD = 24;
// No write the probe guards is larger.
const uint32_t MAX_RECORD = 8u << 20;
// Device path and identity, UTF-8, each within this.
const uint32_t MAX_TEXT = 4 * JOURNAL_TEXT_CAP;

void put32(unsigned char* p, uint32_t v) {
    for (int k = 0; k < 4; k++) p[k] = (unsigned char)(v >> (8 * k));
}
void put64(unsigned char* p, uint64_t v) {
    for (int k = 0; k < 8; k++) p[k] = (unsigned char)(v >> (8 * k));
}
uint32_t get32(const unsigned char* p) {
    uint32_t v = 0;
    for (int k = 0; k < 4; k++) v |= (uint32_t)p[k] << (8 * k);
    return v;
}
uint64_t get64(const unsigned char* p) {
    uint64_t v = 0;
    for (int k = 0; k < 8; k++) v |= (uint64_t)p[k] << (8 * k);
    return v;
}

int write_all(plat_file f, uint64_t offset, const void* data, uint32_t length) {
    const unsigned char* p = (const unsigned char*)data;
    while (length > 0) {
        uint32_t moved = 0;
        if (!plat_write_at(f, offset, p, length, &moved)) return 0;
        if (moved == 0) return 0;
        p += moved;
        offset += moved;
        length -= moved;
    }
    return 1;
}

// 1 when all length bytes were there; 0 at a short file or a failed read
// (*failed tells which).
int read_all(plat_file f, uint64_t offset, void* data, uint32_t length, int* failed) {
    unsigned char* p = (unsigned char*)data;
    *failed = 0;
    while (length > 0) {
        uint32_t moved = 0;
        if (!plat_read_at(f, offset, p, length, &moved)) {
            *failed = 1;
            return 0;
        }
        if (moved == 0) return 0;
        p += moved;
        offset += moved;
        length -= moved;
    }
    return 1;
}

void record_head(unsigned char head[RECORD_HEAD], uint32_t sequence, uint32_t length,
                 uint64_t device_offset) {
    put64(head, RECORD_MAGIC);
    put32(head + 8, sequence);
    put32(head + 12, length);
    put64(head + 16, device_offset);
}

uint64_t record_sum(const unsigned char head[RECORD_HEAD], const void* data, uint32_t length,
                    uint64_t salt) {
    return probe_checksum(data, length, probe_checksum(head, RECORD_HEAD, salt));
}

uint32_t wide_to_utf8(const wchar_t* text, unsigned char* out, uint32_t cap) {
    uint32_t n = 0;
    for (size_t i = 0; text[i] != 0;) {
        char bytes[4];
        int count = utf8_encode(wide_next_code_point(text, &i), bytes);
        if (n + (uint32_t)count > cap) break;
        memcpy(out + n, bytes, (size_t)count);
        n += (uint32_t)count;
    }
    return n;
}

int utf8_to_wide(const unsigned char* in, uint32_t length, wchar_t* out, uint32_t cap) {
    Utf8Decoder d = {};
    uint32_t n = 0;
    for (uint32_t k = 0; k < length; k++) {
        uint32_t cp;
        int r = utf8_decode_byte(&d, in[k], &cp);
        if (r == UTF8_BAD) return 0;
        if (r == UTF8_DONE) {
            wchar_t units[2];
            int count = wide_put_code_point(cp, units);
            if (n + (uint32_t)count + 1 > cap) return 0;
            for (int u = 0; u < count; u++) out[n++] = units[u];
        }
    }
    if (d.remaining != 0) return 0;
    out[n] = 0;
    return 1;
}

int add_record(Journal* j, uint64_t file_offset, uint64_t device_offset, uint32_t length) {
    if (j->record_count == j->record_cap) {
        uint32_t cap = j->record_cap ? j->record_cap * 2 : 1024;
        JournalRecord* grown =
            (JournalRecord*)plat_mem_realloc(j->records, (size_t)cap * sizeof(JournalRecord));
        if (grown == nullptr) return 0;
        j->records = grown;
        j->record_cap = cap;
    }
    j->records[j->record_count++] = {file_offset, device_offset, length};
    return 1;
}

// Reads and checks the header; a JournalOpen value. *end: where records begin.
int read_header(plat_file f, JournalHeader* out, uint64_t* end) {
    memset(out, 0, sizeof *out);
    unsigned char fixed[FIXED_HEADER];
    int failed;
    if (!read_all(f, 0, fixed, FIXED_HEADER, &failed))
        return failed ? JOURNAL_UNREADABLE : JOURNAL_NOT_A_JOURNAL;
    if (memcmp(fixed, HEADER_MAGIC, 8) != 0) return JOURNAL_NOT_A_JOURNAL;
    uint32_t version = get32(fixed + 8);
    uint32_t header_bytes = get32(fixed + 12);
    uint32_t path_bytes = get32(fixed + 40);
    uint32_t identity_bytes = get32(fixed + 44);
    if (version > JOURNAL_VERSION) return JOURNAL_NEWER_VERSION;
    if (version == 0 || path_bytes > MAX_TEXT || identity_bytes >= JOURNAL_TEXT_CAP ||
        header_bytes != FIXED_HEADER + path_bytes + identity_bytes + 8)
        return JOURNAL_NOT_A_JOURNAL;
    unsigned char whole[FIXED_HEADER + MAX_TEXT + JOURNAL_TEXT_CAP + 8];
    if (!read_all(f, 0, whole, header_bytes, &failed))
        return failed ? JOURNAL_UNREADABLE : JOURNAL_NOT_A_JOURNAL;
    if (get64(whole + header_bytes - 8) != probe_checksum(whole, header_bytes - 8, 0))
        return JOURNAL_NOT_A_JOURNAL;
    out->version = version;
    out->salt = get64(fixed + 16);
    out->device_bytes = get64(fixed + 24);
    out->created.year = (int)(fixed[32] | fixed[33] << 8);
    out->created.month = fixed[34];
    out->created.day = fixed[35];
    out->created.hour = fixed[36];
    out->created.minute = fixed[37];
    out->created.second = fixed[38];
    if (!utf8_to_wide(whole + FIXED_HEADER, path_bytes, out->device_path, JOURNAL_TEXT_CAP))
        return JOURNAL_NOT_A_JOURNAL;
    memcpy(out->identity, whole + FIXED_HEADER + path_bytes, identity_bytes);
    out->identity[identity_bytes] = 0;
    *end = header_bytes;
    return JOURNAL_OPENED;
}

} // namespace

Journal::~Journal() { plat_mem_free(records); }

int journal_create(const wchar_t* path, const JournalHeader* header, Journal* out) {
    unsigned char whole[FIXED_HEADER + MAX_TEXT + JOURNAL_TEXT_CAP + 8];
    memset(whole, 0, FIXED_HEADER);
    uint32_t path_bytes = wide_to_utf8(header->device_path, whole + FIXED_HEADER, MAX_TEXT);
    uint32_t identity_bytes = (uint32_t)strnlen(header->identity, JOURNAL_TEXT_CAP - 1);
    memcpy(whole + FIXED_HEADER + path_bytes, header->identity, identity_bytes);
    uint32_t header_bytes = FIXED_HEADER + path_bytes + identity_bytes + 8;
    memcpy(whole, HEADER_MAGIC, 8);
    put32(whole + 8, JOURNAL_VERSION);
    put32(whole + 12, header_bytes);
    put64(whole + 16, header->salt);
    put64(whole + 24, header->device_bytes);
    whole[32] = (unsigned char)header->created.year;
    whole[33] = (unsigned char)(header->created.year >> 8);
    whole[34] = (unsigned char)header->created.month;
    whole[35] = (unsigned char)header->created.day;
    whole[36] = (unsigned char)header->created.hour;
    whole[37] = (unsigned char)header->created.minute;
    whole[38] = (unsigned char)header->created.second;
    put32(whole + 40, path_bytes);
    put32(whole + 44, identity_bytes);
    put64(whole + header_bytes - 8, probe_checksum(whole, header_bytes - 8, 0));
    if (!plat_journal_create(path, &out->file.handle)) return 0;
    if (!write_all(out->file.handle, 0, whole, header_bytes) || !plat_flush(out->file.handle)) {
        // A journal without its header guards nothing: it goes.
        out->file.release();
        plat_delete_file(path);
        return 0;
    }
    out->header = *header;
    out->header.version = JOURNAL_VERSION;
    out->end = header_bytes;
    return 1;
}

int journal_append(Journal* journal, uint64_t device_offset, const void* original,
                   uint32_t length) {
    if (length > MAX_RECORD) return 0;
    unsigned char head[RECORD_HEAD];
    record_head(head, journal->record_count, length, device_offset);
    unsigned char sum[8];
    put64(sum, record_sum(head, original, length, journal->header.salt));
    uint64_t at = journal->end;
    plat_file f = journal->file.handle;
    if (!write_all(f, at, head, RECORD_HEAD) || !write_all(f, at + RECORD_HEAD, original, length) ||
        !write_all(f, at + RECORD_HEAD + length, sum, 8))
        return 0;
    if (!add_record(journal, at + RECORD_HEAD, device_offset, length)) return 0;
    journal->end = at + RECORD_HEAD + length + 8;
    return 1;
}

int journal_flush(Journal* journal) { return plat_flush(journal->file.handle); }

int journal_read_header(const wchar_t* path, JournalHeader* out) {
    OwnedFile file;
    if (!plat_journal_open_read(path, &file.handle)) return JOURNAL_UNREADABLE;
    uint64_t end;
    return read_header(file.handle, out, &end);
}

int journal_open(const wchar_t* path, Journal* out) {
    if (!plat_journal_open_read(path, &out->file.handle)) return JOURNAL_UNREADABLE;
    int r = read_header(out->file.handle, &out->header, &out->end);
    if (r != JOURNAL_OPENED) return r;
    OwnedPages buffer(MAX_RECORD);
    if (buffer.data == nullptr) return JOURNAL_UNREADABLE;
    unsigned char* data = (unsigned char*)buffer.data;
    for (;;) {
        unsigned char head[RECORD_HEAD + 8];
        int failed;
        uint64_t at = out->end;
        if (!read_all(out->file.handle, at, head, 1, &failed)) {
            if (failed) return JOURNAL_UNREADABLE;
            return JOURNAL_OPENED; // a clean end
        }
        uint32_t length = 0;
        int whole = read_all(out->file.handle, at, head, RECORD_HEAD, &failed);
        if (failed) return JOURNAL_UNREADABLE;
        if (whole) length = get32(head + 12);
        // The probe never writes below PROBE_KEEP_OUT or past the device's end:
        // a record that would is no record of a probe.
        uint64_t device_offset = whole ? get64(head + 16) : 0;
        int valid = whole && get64(head) == RECORD_MAGIC && get32(head + 8) == out->record_count &&
                    length <= MAX_RECORD && device_offset >= PROBE_KEEP_OUT &&
                    device_offset + length <= out->header.device_bytes;
        unsigned char sum[8];
        if (valid) {
            valid = read_all(out->file.handle, at + RECORD_HEAD, data, length, &failed) &&
                    read_all(out->file.handle, at + RECORD_HEAD + length, sum, 8, &failed);
            if (failed) return JOURNAL_UNREADABLE;
        }
        if (valid) valid = get64(sum) == record_sum(head, data, length, out->header.salt);
        if (!valid) {
            // Only the last record can be cut by a crash; content after a bad
            // one means the journal itself was damaged.
            out->torn_tail = 1;
            unsigned char more;
            uint64_t next = at + RECORD_HEAD + (whole ? (uint64_t)length + 8 : 0);
            if (whole && get64(head) == RECORD_MAGIC &&
                read_all(out->file.handle, next, &more, 1, &failed))
                out->damaged = 1;
            return JOURNAL_OPENED;
        }
        if (!add_record(out, at + RECORD_HEAD, get64(head + 16), length)) return JOURNAL_UNREADABLE;
        out->end = at + RECORD_HEAD + length + 8;
    }
}

int journal_read_record(Journal* journal, uint32_t index, void* buffer) {
    if (index >= journal->record_count) return 0;
    const JournalRecord* r = &journal->records[index];
    int failed;
    unsigned char sum[8];
    if (!read_all(journal->file.handle, r->file_offset, buffer, r->length, &failed) ||
        !read_all(journal->file.handle, r->file_offset + r->length, sum, 8, &failed))
        return 0;
    unsigned char head[RECORD_HEAD];
    record_head(head, index, r->length, r->device_offset);
    return get64(sum) == record_sum(head, buffer, r->length, journal->header.salt);
}

int journal_matches_device(const JournalHeader* header, uint64_t device_bytes,
                           const char* identity) {
    return header->device_bytes == device_bytes && strcmp(header->identity, identity) == 0;
}

int journal_delete(Journal* journal, const wchar_t* path) {
    journal->file.release();
    return plat_delete_file(path);
}
