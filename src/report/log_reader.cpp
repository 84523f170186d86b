// Reads a drive-test CSV log back: strict about the lines drive-test writes,
// tolerant of "# key=value" lines it does not know (later versions add some).
#include "report/log_reader.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "report/program.h"

namespace {

const char COLUMN_LINE[] =
    "phase,sample,elapsed_s,total_bytes,sample_bytes,sample_duration_s,speed_mbps,"
    "average_mbps,min_mbps,median_mbps,max_mbps,threshold_mbps,threshold_pass,error_count";
const char* const COLUMN_NAMES[] = {"phase",       "sample",           "elapsed_s",
                                    "total_bytes", "sample_bytes",     "sample_duration_s",
                                    "speed_mbps",  "average_mbps",     "min_mbps",
                                    "median_mbps", "max_mbps",         "threshold_mbps",
                                    "threshold_pass", "error_count"};
enum { COLUMNS = 14 };

// Longest line: a path of 32767 characters at 4 bytes each, with its key.
enum { LINE_BYTES = 4 * 32768 + 256 };

// ---- lines ----

struct LineReader {
    FILE* in;
    char* buffer; // LINE_BYTES + 1, the extra byte for the terminating NUL
    size_t start;
    size_t end;
    int at_eof;
    uint64_t number;
    int terminated; // the current line ended in a newline

    explicit LineReader(FILE* f)
        : in(f), buffer((char*)plat_mem_alloc(LINE_BYTES + 1)), start(0), end(0), at_eof(0),
          number(0), terminated(0) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader() { plat_mem_free(buffer); }
};

enum { LINE_END = 0, LINE_OK = 1, LINE_TOO_LONG = -1, LINE_READ_ERROR = -2 };

// The next line, NUL-terminated in place, without its "\n" or "\r\n".
int next_line(LineReader* r, char** line, size_t* length) {
    for (;;) {
        char* nl = (char*)memchr(r->buffer + r->start, '\n', r->end - r->start);
        size_t stop = nl ? (size_t)(nl - r->buffer) : r->end;
        if (nl || (r->at_eof && r->start < r->end)) {
            *line = r->buffer + r->start;
            *length = stop - r->start;
            r->terminated = nl != nullptr;
            r->start = nl ? stop + 1 : stop;
            if (*length > 0 && (*line)[*length - 1] == '\r') --*length;
            (*line)[*length] = 0;
            r->number++;
            return LINE_OK;
        }
        if (r->at_eof) return LINE_END;
        memmove(r->buffer, r->buffer + r->start, r->end - r->start);
        r->end -= r->start;
        r->start = 0;
        if (r->end == LINE_BYTES) {
            r->number++;
            return LINE_TOO_LONG;
        }
        size_t got = fread(r->buffer + r->end, 1, LINE_BYTES - r->end, r->in);
        if (got == 0) {
            if (ferror(r->in)) return LINE_READ_ERROR;
            r->at_eof = 1;
        }
        r->end += got;
    }
}

// ---- values ----

int parse_u64(const char* text, size_t length, uint64_t* out) {
    if (length == 0 || length > 20) return 0;
    uint64_t value = 0;
    for (size_t i = 0; i < length; i++) {
        unsigned digit = (unsigned)(unsigned char)text[i] - '0';
        if (digit > 9) return 0;
        if (value > (UINT64_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    *out = value;
    return 1;
}

// A non-negative number as "%.6f" prints it: digits, an optional fraction and
// exponent, or "inf" (a required minimum of inf, which the dialogue accepts).
// Checked by hand: most columns are only checked, not used.
int is_number(const char* text, size_t length) {
    if (length == 3 && memcmp(text, "inf", 3) == 0) return 1;
    size_t i = 0;
    size_t digits = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9') i++, digits++;
    if (i < length && text[i] == '.') {
        i++;
        while (i < length && text[i] >= '0' && text[i] <= '9') i++, digits++;
    }
    if (digits == 0) return 0;
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        i++;
        if (i < length && (text[i] == '+' || text[i] == '-')) i++;
        size_t start = i;
        while (i < length && text[i] >= '0' && text[i] <= '9') i++;
        if (i == start) return 0;
    }
    return i == length;
}

// Any length: "%.6f" of 1e308 has 316 characters. The text is followed by a
// comma or the line's end, where the conversion stops as the check did.
int parse_double(const char* text, size_t length, double* out) {
    if (!is_number(text, length)) return 0;
    *out = strtod(text, nullptr);
    return 1;
}

int parse_flag(const char* text, size_t length, int* out) {
    uint64_t value;
    if (!parse_u64(text, length, &value) || value > 1) return 0;
    *out = (int)value;
    return 1;
}

// Copies text of any length, cutting a long one at a UTF-8 character boundary.
void copy_text(char dest[LOG_TEXT_BYTES], const char* text, size_t length) {
    if (length < LOG_TEXT_BYTES) {
        memcpy(dest, text, length);
        dest[length] = 0;
        return;
    }
    size_t cut = LOG_TEXT_BYTES - 4;
    while (cut > 0 && ((unsigned char)text[cut] & 0xC0u) == 0x80u) --cut;
    memcpy(dest, text, cut);
    memcpy(dest + cut, "...", 4);
}

// ---- keyed lines of the header and the summary ----

enum { KEY_TEXT, KEY_U64, KEY_DOUBLE, KEY_FLAG };

struct KeyField {
    const char* key;
    int kind;
    void* dest; // null: checked, not kept
};

enum { HEADER_KEYS = 12, SUMMARY_KEYS = 15 };

void header_fields(DriveLog* log, KeyField out[HEADER_KEYS]) {
    const KeyField fields[HEADER_KEYS] = {
        {"encoding", KEY_TEXT, nullptr},
        {"started_local", KEY_TEXT, log->started_local},
        {"target_path", KEY_TEXT, log->target_path},
        {"volume_root", KEY_TEXT, log->volume_root},
        {"filesystem", KEY_TEXT, log->filesystem},
        {"logical_sector_bytes", KEY_U64, nullptr},
        {"physical_sector_bytes", KEY_U64, nullptr},
        {"target_bytes", KEY_U64, &log->target_bytes},
        {"minimum_required_mbps", KEY_DOUBLE, &log->minimum_required_mbps},
        {"block_size_bytes", KEY_U64, &log->block_size_bytes},
        {"alignment_bytes", KEY_U64, nullptr},
        {"io_mode", KEY_TEXT, nullptr},
    };
    memcpy(out, fields, sizeof fields);
}

void summary_fields(DriveLog* log, KeyField out[SUMMARY_KEYS]) {
    LogSummary* s = &log->summary;
    const KeyField fields[SUMMARY_KEYS] = {
        {"bytes_written", KEY_U64, &s->bytes_written},
        {"wall_elapsed_sec", KEY_DOUBLE, &s->wall_elapsed_sec},
        {"write_active_sec", KEY_DOUBLE, nullptr},
        {"write_min_mbps", KEY_DOUBLE, nullptr},
        {"write_avg_sample_mbps", KEY_DOUBLE, nullptr},
        {"write_median_mbps", KEY_DOUBLE, &s->write_median_mbps},
        {"write_max_mbps", KEY_DOUBLE, nullptr},
        {"threshold_below_samples", KEY_U64, &s->threshold_below_samples},
        {"threshold_pass", KEY_FLAG, &s->threshold_pass},
        {"write_errors", KEY_U64, &s->write_errors},
        {"verification_requested", KEY_FLAG, &s->verification_requested},
        {"bytes_verified", KEY_U64, &s->bytes_verified},
        {"verification_mismatch_blocks", KEY_U64, &s->verification_mismatch_blocks},
        {"verification_errors", KEY_U64, &s->verification_errors},
        {"user_stopped", KEY_FLAG, &s->user_stopped},
    };
    memcpy(out, fields, sizeof fields);
}

struct Reader {
    DriveLog* log;
    char* reason;
    uint64_t line;
    uint64_t phase_end[2]; // the last row's total_bytes, by LOG_PHASE_*
    uint32_t damage_seen;  // by DAMAGE_KEY_*
};

int refuse(Reader* r, const char* what, const char* detail = "") {
    snprintf(r->reason, LOG_REASON_BYTES, "line %llu: %s%s", (unsigned long long)r->line, what,
             detail);
    return 0;
}

int store_value(const KeyField* f, const char* value, size_t length) {
    switch (f->kind) {
    case KEY_U64: {
        uint64_t v;
        if (!parse_u64(value, length, &v)) return 0;
        if (f->dest) *(uint64_t*)f->dest = v;
        return 1;
    }
    case KEY_DOUBLE: {
        double v;
        if (!parse_double(value, length, &v)) return 0;
        if (f->dest) *(double*)f->dest = v;
        return 1;
    }
    case KEY_FLAG: {
        int v;
        if (!parse_flag(value, length, &v)) return 0;
        if (f->dest) *(int*)f->dest = v;
        return 1;
    }
    default:
        if (f->dest) copy_text((char*)f->dest, value, length);
        return 1;
    }
}

// A "# key=value" line: a known key is stored once, an unknown one kept for show.
int keyed_line(Reader* r, const char* line, size_t length, const KeyField* fields, int count,
               uint32_t* seen) {
    if (length < 2 || memcmp(line, "# ", 2) != 0) {
        return refuse(r, "expected a \"# key=value\" line");
    }
    const char* body = line + 2;
    const char* eq = (const char*)memchr(body, '=', length - 2);
    if (!eq || eq == body) return refuse(r, "expected a \"# key=value\" line");
    size_t key_length = (size_t)(eq - body);
    const char* value = eq + 1;
    size_t value_length = length - 2 - key_length - 1;
    for (int i = 0; i < count; i++) {
        if (strlen(fields[i].key) != key_length || memcmp(fields[i].key, body, key_length) != 0) {
            continue;
        }
        if (*seen & (1u << i)) return refuse(r, "repeated key ", fields[i].key);
        if (!store_value(&fields[i], value, value_length)) {
            return refuse(r, "bad value for ", fields[i].key);
        }
        *seen |= 1u << i;
        return 1;
    }
    DriveLog* log = r->log;
    if (log->extra_count < LOG_EXTRA_LINES) copy_text(log->extra[log->extra_count++], body, length - 2);
    return 1;
}

int missing_key(Reader* r, const char* part, const KeyField* fields, int count, uint32_t seen) {
    for (int i = 0; i < count; i++) {
        if (!(seen & (1u << i))) {
            snprintf(r->reason, LOG_REASON_BYTES, "the %s has no %s line", part, fields[i].key);
            return 1;
        }
    }
    return 0;
}

// ---- body lines ----

int grow(void** array, uint64_t* capacity, uint64_t count, size_t item) {
    if (count < *capacity) return 1;
    uint64_t next = *capacity ? *capacity * 2 : 1024;
    void* bigger = plat_mem_realloc(*array, (size_t)(next * item));
    if (!bigger) return 0;
    *array = bigger;
    *capacity = next;
    return 1;
}

int data_row(Reader* r, char* line, size_t length) {
    const char* field[COLUMNS];
    size_t size[COLUMNS];
    int n = 0;
    const char* start = line;
    for (const char* p = line;; p++) {
        if (p == line + length || *p == ',') {
            if (n == COLUMNS) return refuse(r, "a data row has more than 14 fields");
            field[n] = start;
            size[n++] = (size_t)(p - start);
            start = p + 1;
            if (p == line + length) break;
        }
    }
    if (n != COLUMNS) return refuse(r, "a data row has fewer than 14 fields");
    LogRow row;
    if (size[0] == 5 && memcmp(field[0], "write", 5) == 0) {
        row.phase = LOG_PHASE_WRITE;
    } else if (size[0] == 6 && memcmp(field[0], "verify", 6) == 0) {
        row.phase = LOG_PHASE_VERIFY;
    } else {
        return refuse(r, "unknown phase in a data row (expected write or verify)");
    }
    uint64_t count;
    for (int i = 1; i < COLUMNS; i++) {
        int ok;
        switch (i) {
        case 1: ok = parse_u64(field[i], size[i], &count); break;
        case 3: ok = parse_u64(field[i], size[i], &row.total_bytes); break;
        case 4: ok = parse_u64(field[i], size[i], &row.sample_bytes); break;
        // A measured speed is finite; only the threshold column may say inf.
        case 6:
            ok = parse_double(field[i], size[i], &row.speed_mbps) && isfinite(row.speed_mbps);
            break;
        case 12: ok = parse_flag(field[i], size[i], &row.threshold_pass); break;
        case 13: ok = parse_u64(field[i], size[i], &count); break;
        default: ok = is_number(field[i], size[i]); break;
        }
        if (!ok) return refuse(r, "bad number in column ", COLUMN_NAMES[i]);
    }
    if (row.sample_bytes > row.total_bytes) {
        return refuse(r, "sample_bytes exceeds total_bytes");
    }
    // Each sample covers the bytes after the one before it in its phase.
    if (row.total_bytes - row.sample_bytes < r->phase_end[row.phase]) {
        return refuse(r, "the position goes backwards (a row starts before the last one ended)");
    }
    r->phase_end[row.phase] = row.total_bytes;
    DriveLog* log = r->log;
    if (!grow((void**)&log->rows, &log->row_capacity, log->row_count, sizeof(LogRow))) {
        return refuse(r, "out of memory for the rows");
    }
    log->rows[log->row_count++] = row;
    return 1;
}

// "# event=NAME,error_code=N,offset=N"
int event_line(Reader* r, const char* line, size_t length) {
    const char* name = line + strlen("# event=");
    const char* comma = (const char*)memchr(name, ',', length - (size_t)(name - line));
    LogEvent event;
    size_t name_length = comma ? (size_t)(comma - name) : 0;
    if (name_length == 0 || name_length >= sizeof event.name) {
        return refuse(r, "malformed event line");
    }
    for (size_t i = 0; i < name_length; i++) {
        if (!((name[i] >= 'a' && name[i] <= 'z') || name[i] == '_')) {
            return refuse(r, "malformed event line");
        }
    }
    memcpy(event.name, name, name_length);
    event.name[name_length] = 0;
    const char* code = comma + 1;
    const char* end = line + length;
    const char* code_key = ",error_code=";
    const char* offset_key = ",offset=";
    if ((size_t)(end - comma) < strlen(code_key) || memcmp(comma, code_key, strlen(code_key)) != 0) {
        return refuse(r, "malformed event line");
    }
    code = comma + strlen(code_key);
    const char* comma2 = (const char*)memchr(code, ',', (size_t)(end - code));
    uint64_t value;
    if (!comma2 || !parse_u64(code, (size_t)(comma2 - code), &value) || value > UINT32_MAX ||
        (size_t)(end - comma2) < strlen(offset_key) ||
        memcmp(comma2, offset_key, strlen(offset_key)) != 0) {
        return refuse(r, "malformed event line");
    }
    event.error_code = (uint32_t)value;
    const char* offset = comma2 + strlen(offset_key);
    if (!parse_u64(offset, (size_t)(end - offset), &event.offset)) {
        return refuse(r, "malformed event line");
    }
    DriveLog* log = r->log;
    if (!grow((void**)&log->events, &log->event_capacity, log->event_count, sizeof(LogEvent))) {
        return refuse(r, "out of memory for the events");
    }
    log->events[log->event_count++] = event;
    return 1;
}

int starts_with(const char* line, size_t length, const char* prefix) {
    size_t n = strlen(prefix);
    return length >= n && memcmp(line, prefix, n) == 0;
}

// "START,END,KIND" or, for a misplaced region, "START,END,misplaced,SOURCE".
int damage_region(Reader* r, const char* value, size_t length) {
    const char* end = value + length;
    const char* c1 = (const char*)memchr(value, ',', length);
    const char* c2 = c1 ? (const char*)memchr(c1 + 1, ',', (size_t)(end - c1 - 1)) : nullptr;
    if (!c2) return refuse(r, "malformed damage region");
    const char* c3 = (const char*)memchr(c2 + 1, ',', (size_t)(end - c2 - 1));
    DamageRegion g = {};
    const char* kind = c2 + 1;
    size_t kind_length = (size_t)((c3 ? c3 : end) - kind);
    g.kind = SECTOR_KIND_COUNT;
    for (uint32_t k = SECTOR_ZERO; k < SECTOR_KIND_COUNT; k++) {
        if (strlen(sector_kind_name(k)) == kind_length &&
            memcmp(sector_kind_name(k), kind, kind_length) == 0) {
            g.kind = k;
        }
    }
    if (!parse_u64(value, (size_t)(c1 - value), &g.start) ||
        !parse_u64(c1 + 1, (size_t)(c2 - c1 - 1), &g.end) || g.end <= g.start ||
        g.kind == SECTOR_KIND_COUNT || (g.kind == SECTOR_MISPLACED) != (c3 != nullptr) ||
        (c3 && !parse_u64(c3 + 1, (size_t)(end - c3 - 1), &g.source_start))) {
        return refuse(r, "malformed damage region");
    }
    LogDamage* d = &r->log->damage;
    if (d->region_count == DAMAGE_REGION_CAP) return refuse(r, "too many damage regions");
    if (!d->regions) {
        d->regions = (DamageRegion*)plat_mem_alloc(DAMAGE_REGION_CAP * sizeof(DamageRegion));
        if (!d->regions) return refuse(r, "out of memory for the damage regions");
    }
    d->regions[d->region_count++] = g;
    return 1;
}

// A count, or "none" (flag cleared).
int u64_or_none(const char* value, size_t length, int* present, uint64_t* out) {
    *present = !(length == 4 && memcmp(value, "none", 4) == 0);
    return !*present || parse_u64(value, length, out);
}

enum {
    DAMAGE_KEY_FIRST_OFFSET = SECTOR_KIND_COUNT,
    DAMAGE_KEY_WRAP,
    DAMAGE_KEY_CAPACITY,
    DAMAGE_KEY_TRUNCATED,
    DAMAGE_KEY_SECTOR,
    DAMAGE_KEY_VERDICT,
    DAMAGE_KEY_DISPLACEMENT,
    DAMAGE_KEY_FLIPPED_BITS,
    DAMAGE_KEY_REGION,
    DAMAGE_KEY_COUNT
};

// The key of a damage line by DAMAGE_KEY_* (a sector kind: "KIND_bytes").
void damage_key_name(int key, char* out, size_t size) {
    static const char* const names[] = {"first_offset", "wrap_bytes", "likely_capacity_bytes",
                                        "regions_truncated", "sector_bytes", "verdict",
                                        "displacement_bytes", "flipped_bits", "region"};
    if (key < SECTOR_KIND_COUNT) snprintf(out, size, "%s_bytes", sector_kind_name((uint32_t)key));
    else snprintf(out, size, "%s", names[key - SECTOR_KIND_COUNT]);
}

// A displacement: a non-zero multiple of 8, either way.
int parse_displacement(const char* value, size_t length, int64_t* out) {
    int negative = length > 0 && value[0] == '-';
    uint64_t distance;
    if (!parse_u64(value + negative, length - negative, &distance) || distance == 0 ||
        distance % 8 != 0 || distance > (uint64_t)INT64_MAX) {
        return 0;
    }
    *out = negative ? -(int64_t)distance : (int64_t)distance;
    return 1;
}

// A "# damage_KEY=VALUE" line after the summary: every key but region once,
// each value one that drive-test can write.
int damage_line(Reader* r, const char* line, size_t length) {
    const char* key = line + strlen("# damage_");
    const char* eq = (const char*)memchr(key, '=', length - strlen("# damage_"));
    if (!eq) return refuse(r, "malformed damage line");
    size_t key_length = (size_t)(eq - key);
    const char* value = eq + 1;
    size_t value_length = (size_t)(line + length - value);
    int which = DAMAGE_KEY_COUNT;
    char name[32];
    for (int k = 0; k < DAMAGE_KEY_COUNT; k++) {
        damage_key_name(k, name, sizeof name);
        if (strlen(name) == key_length && memcmp(name, key, key_length) == 0) which = k;
    }
    if (which == DAMAGE_KEY_COUNT) return refuse(r, "unknown damage line");
    if (which == DAMAGE_KEY_REGION) return damage_region(r, value, value_length);
    damage_key_name(which, name, sizeof name);
    if (r->damage_seen & (1u << which)) return refuse(r, "repeated key damage_", name);
    r->damage_seen |= 1u << which;
    LogDamage* d = &r->log->damage;
    d->present = 1;
    uint64_t n = 0;
    int ok = 0;
    switch (which) {
    case DAMAGE_KEY_FIRST_OFFSET: ok = parse_u64(value, value_length, &d->first_offset); break;
    // A capacity lies inside the test, and a drive wraps at a whole sector.
    case DAMAGE_KEY_WRAP:
        ok = u64_or_none(value, value_length, &d->wraps, &d->wrap_bytes) &&
             (!d->wraps || (d->wrap_bytes > 0 && d->wrap_bytes % DAMAGE_SECTOR_BYTES == 0 &&
                            d->wrap_bytes < r->log->target_bytes));
        break;
    case DAMAGE_KEY_CAPACITY:
        ok = u64_or_none(value, value_length, &d->has_capacity, &d->capacity_bytes) &&
             (!d->has_capacity || (d->capacity_bytes % DAMAGE_SECTOR_BYTES == 0 &&
                                   d->capacity_bytes < r->log->target_bytes));
        break;
    case DAMAGE_KEY_TRUNCATED: ok = parse_flag(value, value_length, &d->regions_truncated); break;
    case DAMAGE_KEY_SECTOR: ok = parse_u64(value, value_length, &n) && n == DAMAGE_SECTOR_BYTES; break;
    case DAMAGE_KEY_VERDICT:
        for (uint32_t f = DAMAGE_FINDING_SCATTERED; f < DAMAGE_FINDING_COUNT; f++) {
            const char* text = damage_finding_name(f);
            if (strlen(text) == value_length && memcmp(text, value, value_length) == 0) {
                d->finding = f;
                ok = 1;
            }
        }
        break;
    case DAMAGE_KEY_DISPLACEMENT:
        ok = (value_length == 4 && memcmp(value, "none", 4) == 0) ||
             parse_displacement(value, value_length, &d->displacement_bytes);
        break;
    case DAMAGE_KEY_FLIPPED_BITS: ok = parse_u64(value, value_length, &d->flipped_bits); break;
    default: ok = parse_u64(value, value_length, &d->kind_bytes[which]);
    }
    return ok ? 1 : refuse(r, "bad value in a damage line");
}

// The verdict and the claims agree wherever both were read; a log of an
// earlier version has no verdict line and gets the one its claims make.
int damage_agrees(Reader* r) {
    LogDamage* d = &r->log->damage;
    uint32_t seen = r->damage_seen;
    int wrap = (seen >> DAMAGE_KEY_WRAP) & 1;
    int capacity = (seen >> DAMAGE_KEY_CAPACITY) & 1;
    if (wrap && capacity && d->wraps && (!d->has_capacity || d->capacity_bytes != d->wrap_bytes)) {
        return 0;
    }
    if (!((seen >> DAMAGE_KEY_VERDICT) & 1)) {
        d->finding = d->wraps ? DAMAGE_FINDING_WRAPS
                   : d->has_capacity ? DAMAGE_FINDING_DROPPED : DAMAGE_FINDING_SCATTERED;
        return !((seen >> DAMAGE_KEY_DISPLACEMENT) & 1) || d->displacement_bytes == 0;
    }
    if (wrap && d->wraps != (d->finding == DAMAGE_FINDING_WRAPS)) return 0;
    if (capacity && d->has_capacity != (d->finding == DAMAGE_FINDING_WRAPS ||
                                        d->finding == DAMAGE_FINDING_DROPPED)) {
        return 0;
    }
    if (((seen >> DAMAGE_KEY_DISPLACEMENT) & 1) &&
        (d->displacement_bytes != 0) != (d->finding == DAMAGE_FINDING_DISPLACED)) {
        return 0;
    }
    return 1;
}

enum { IN_TITLE, IN_HEADER, IN_BODY, IN_SUMMARY, AFTER_SUMMARY };

} // namespace

DriveLog::DriveLog() {
    program[0] = started_local[0] = target_path[0] = volume_root[0] = filesystem[0] = 0;
    target_bytes = 0;
    minimum_required_mbps = 0;
    block_size_bytes = 0;
    extra_count = 0;
    have_summary = 0;
    memset(&summary, 0, sizeof summary);
    memset(&damage, 0, sizeof damage);
}

DriveLog::~DriveLog() {
    plat_mem_free(rows);
    plat_mem_free(events);
    plat_mem_free(damage.regions);
}

int log_read_stream(FILE* in, DriveLog* log, char reason[LOG_REASON_BYTES]) {
    reason[0] = 0;
    LineReader lines(in);
    if (!lines.buffer) {
        snprintf(reason, LOG_REASON_BYTES, "out of memory");
        return 0;
    }
    Reader r = {log, reason, 0, {0, 0}, 0};
    KeyField header[HEADER_KEYS];
    KeyField summary[SUMMARY_KEYS];
    header_fields(log, header);
    summary_fields(log, summary);
    uint32_t header_seen = 0;
    uint32_t summary_seen = 0;
    int state = IN_TITLE;
    const char title[] = "# " DRIVE_TEST_TITLE " v";

    char* line;
    size_t length;
    for (;;) {
        int got = next_line(&lines, &line, &length);
        r.line = lines.number;
        if (got == LINE_END) break;
        if (got == LINE_TOO_LONG) return refuse(&r, "line too long");
        if (got == LINE_READ_ERROR) return refuse(&r, "read error");
        if (strlen(line) != length) return refuse(&r, "NUL byte in the text");
        int ok = 1;
        int before = state;
        switch (state) {
        case IN_TITLE:
            if (!starts_with(line, length, title)) {
                ok = refuse(&r, "not a drive-test log (the first line must be \"# " DRIVE_TEST_TITLE
                                " v...\")");
                break;
            }
            copy_text(log->program, line + 2, length - 2);
            state = IN_HEADER;
            break;
        case IN_HEADER:
            if (length == strlen(COLUMN_LINE) && memcmp(line, COLUMN_LINE, length) == 0) {
                if (missing_key(&r, "header", header, HEADER_KEYS, header_seen)) return 0;
                state = IN_BODY;
            } else if (starts_with(line, length, "phase,")) {
                ok = refuse(&r, "the column line differs from the one drive-test writes");
            } else {
                ok = keyed_line(&r, line, length, header, HEADER_KEYS, &header_seen);
                if (ok && starts_with(line, length, "# encoding=") &&
                    strcmp(line, "# encoding=UTF-8") != 0) {
                    ok = refuse(&r, "the log is not marked encoding=UTF-8");
                }
            }
            break;
        case IN_BODY:
            if (starts_with(line, length, "# event=")) {
                ok = event_line(&r, line, length);
            } else if (strcmp(line, "# summary_begin") == 0) {
                state = IN_SUMMARY;
            } else if (starts_with(line, length, "# ")) {
                uint32_t none = 0;
                ok = keyed_line(&r, line, length, nullptr, 0, &none);
            } else if (length == 0) {
                ok = refuse(&r, "empty line");
            } else {
                ok = data_row(&r, line, length);
            }
            break;
        case IN_SUMMARY:
            if (strcmp(line, "# summary_end") == 0) {
                if (missing_key(&r, "summary", summary, SUMMARY_KEYS, summary_seen)) return 0;
                state = AFTER_SUMMARY;
            } else {
                ok = keyed_line(&r, line, length, summary, SUMMARY_KEYS, &summary_seen);
            }
            break;
        default:
            if (starts_with(line, length, "# damage_")) {
                ok = damage_line(&r, line, length);
                break;
            }
            ok = refuse(&r, "text after the summary block");
            break;
        }
        if (!ok) {
            // A last line without its newline was cut off when the run ended: drop it.
            if (!lines.terminated && before >= IN_BODY) {
                state = before;
                reason[0] = 0;
                break;
            }
            return 0;
        }
    }
    if (state == IN_TITLE) {
        snprintf(reason, LOG_REASON_BYTES, "the file is empty");
        return 0;
    }
    if (state == IN_HEADER) {
        snprintf(reason, LOG_REASON_BYTES, "the log ends before its column line");
        return 0;
    }
    if (log->damage.present && !damage_agrees(&r)) {
        return refuse(&r, "the damage lines disagree with their verdict");
    }
    log->have_summary = state == AFTER_SUMMARY;
    if (!log->have_summary) memset(&log->summary, 0, sizeof log->summary);
    return 1;
}
