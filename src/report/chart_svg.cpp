// The SVG chart: title block, axes, the samples of both phases over the bytes
// each covered, the required minimum, the speed levels and the events. Long
// runs are drawn one pixel column at a time (first, lowest, highest and last
// speed of the column), so dips stay visible and the file stays small.
#include "report/chart_svg.h"

#include <float.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "console/text.h"
#include "platform/utf8.h"
#include "report/damage_report.h"
#include "report/log_reader.h"

namespace {

const int WIDTH = 1000;
const int HEIGHT = 660;
const double LEFT = 78.0;
const double RIGHT = 978.0;
const double TOP = 164.0;
const double BOTTOM = 596.0;
enum { COLUMNS = 900 }; // RIGHT - LEFT: one column per pixel

const char WRITE_COLOR[] = "#1f5fa8";
const char VERIFY_COLOR[] = "#4caf64";
const char LEVEL_COLOR[] = "#f07c12";
const char ALARM_COLOR[] = "#d62728";
const char PASS_COLOR[] = "#1e8a3a";
const char MUTED_COLOR[] = "#555";
const double GIB = 1073741824.0;

struct Plot {
    double extent_bytes; // the x axis runs from 0 to this
    double top_mbps;     // the y axis runs from 0 to this
    double x_step;       // tick steps, in GiB and MB/s
    double y_step;
};

double px(const Plot* p, double bytes) {
    return LEFT + bytes / p->extent_bytes * (RIGHT - LEFT);
}
double py(const Plot* p, double mbps) {
    double v = mbps > p->top_mbps ? p->top_mbps : mbps;
    return BOTTOM - v / p->top_mbps * (BOTTOM - TOP);
}

// 1, 2 or 5 times a power of ten, giving about `ticks` steps over range.
double nice_step(double range, int ticks) {
    double raw = range / ticks;
    double magnitude = pow(10.0, floor(log10(raw)));
    double norm = raw / magnitude;
    double unit = norm < 1.5 ? 1.0 : norm < 3.0 ? 2.0 : norm < 7.0 ? 5.0 : 10.0;
    return unit * magnitude;
}
int decimals_for(double step) {
    int d = (int)-floor(log10(step) + 1e-9);
    return d < 0 ? 0 : d > 6 ? 6 : d;
}

// Text as XML character data: markup escaped, and what XML does not allow
// replaced: control characters by the symbols that show them (U+2400 on),
// invalid UTF-8, U+FFFE and U+FFFF by U+FFFD. A long text loses its middle.
void put_text(FILE* out, const char* text, size_t max_chars = 0) {
    size_t total = 0;
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) total += (*p & 0xC0u) != 0x80u;
    size_t keep_head = total, skip_until = total;
    if (max_chars > 0 && total > max_chars) {
        keep_head = max_chars / 2;
        skip_until = total - (max_chars - keep_head - 1);
    }
    Utf8Decoder d = {};
    size_t index = 0;
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
        uint32_t cp = 0;
        int r = utf8_decode_byte(&d, *p, &cp);
        if (r == UTF8_MORE) continue;
        if (r == UTF8_BAD) cp = UTF8_REPLACEMENT;
        size_t at = index++;
        if (at == keep_head && keep_head < skip_until) fputs("\xE2\x80\xA6", out); // …
        if (at >= keep_head && at < skip_until) continue;
        if (cp < 0x20 && cp != '\t') cp += 0x2400;
        if (cp == 0xFFFEu || cp == 0xFFFFu) cp = UTF8_REPLACEMENT;
        switch (cp) {
        case '&': fputs("&amp;", out); break;
        case '<': fputs("&lt;", out); break;
        case '>': fputs("&gt;", out); break;
        case '"': fputs("&quot;", out); break;
        case '\'': fputs("&apos;", out); break;
        default: {
            char bytes[4];
            fwrite(bytes, 1, (size_t)utf8_encode(cp, bytes), out);
        }
        }
    }
}

// How wide a code point is drawn in DejaVu Sans, in em, a little more than
// its advance; a whole em for anything outside ASCII but the middle dot.
double glyph_em(uint32_t cp) {
    // Advances of ' ' to '~' in 1/2048 em.
    static const uint16_t ascii[95] = {
        651,  821,  942,  1716, 1303, 1946, 1597, 563,  799,  799,  1024, 1716, 651,  739,
        651,  690,  1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 690,  690,
        1716, 1716, 1716, 1087, 2048, 1401, 1405, 1430, 1577, 1294, 1178, 1587, 1540, 604,
        604,  1343, 1141, 1767, 1532, 1612, 1235, 1612, 1423, 1300, 1251, 1499, 1401, 2025,
        1403, 1251, 1403, 799,  690,  799,  1716, 1024, 1024, 1255, 1300, 1126, 1300, 1260,
        721,  1300, 1298, 569,  569,  1186, 569,  1995, 1298, 1253, 1300, 1300, 842,  1067,
        803,  1298, 1212, 1675, 1212, 1212, 1075, 1303, 690,  1303, 1716};
    const double margin = 1.04;
    if (cp >= 0x20 && cp < 0x7F) return margin * ascii[cp - 0x20] / 2048.0;
    if (cp == 0xB7) return margin * 651 / 2048.0;
    return 1.0;
}

// The width in em of text as put_text(out, text, max_chars) draws it.
double text_em(const char* text, size_t max_chars = 0) {
    size_t total = 0;
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) total += (*p & 0xC0u) != 0x80u;
    size_t keep_head = total, skip_until = total;
    if (max_chars > 0 && total > max_chars) {
        keep_head = max_chars / 2;
        skip_until = total - (max_chars - keep_head - 1);
    }
    Utf8Decoder d = {};
    size_t index = 0;
    double em = keep_head < skip_until ? 1.0 : 0.0; // the ellipsis
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
        uint32_t cp = 0;
        int r = utf8_decode_byte(&d, *p, &cp);
        if (r == UTF8_MORE) continue;
        if (r == UTF8_BAD) cp = UTF8_REPLACEMENT;
        size_t at = index++;
        if (at >= keep_head && at < skip_until) continue;
        em += glyph_em(cp);
    }
    return em;
}

// A speed as the chart shows it: one decimal, a power of ten for a speed no
// drive reaches (the log may hold up to 1e308), the sign for infinity.
const char* mbps_text(double mbps, char out[32]) {
    if (!isfinite(mbps)) return "\xE2\x88\x9E"; // ∞
    snprintf(out, 32, mbps < 1e12 ? "%.1f" : "%.3g", mbps);
    return out;
}

void text_open(FILE* out, double x, double y, const char* attributes) {
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\"%s%s>", x, y, *attributes ? " " : "", attributes);
}

const char* const FAILURE_EVENTS[] = {"open_write_failed",  "buffer_allocation_failed",
                                      "write_failed_or_short_write",
                                      "statistics_allocation_failed", "flush_failed"};

int is_write_failure(const char* name) {
    for (const char* f : FAILURE_EVENTS) {
        if (strcmp(name, f) == 0) return 1;
    }
    return 0;
}

int has_phase(const DriveLog* log, int phase) {
    int any = 0;
    for (uint64_t i = 0; i < log->row_count && !any; i++) any = log->rows[i].phase == phase;
    return any;
}

int any_below(const DriveLog* log) {
    for (uint64_t i = 0; i < log->row_count; i++) {
        if (log->rows[i].phase == LOG_PHASE_WRITE && !log->rows[i].threshold_pass) return 1;
    }
    return 0;
}

uint64_t rows_of(const DriveLog* log, int phase) {
    uint64_t n = 0;
    for (uint64_t i = 0; i < log->row_count; i++) n += log->rows[i].phase == phase;
    return n;
}

// ---- scales ----

Plot make_plot(const DriveLog* log, const ChartLevel* levels, int level_count) {
    double extent = (double)log->target_bytes;
    // An infinite minimum is drawn at the top edge; it sets no scale.
    double top = isfinite(log->minimum_required_mbps) ? log->minimum_required_mbps : 0.0;
    for (uint64_t i = 0; i < log->row_count; i++) {
        if ((double)log->rows[i].total_bytes > extent) extent = (double)log->rows[i].total_bytes;
        if (log->rows[i].speed_mbps > top) top = log->rows[i].speed_mbps;
    }
    if ((double)log->summary.bytes_written > extent) extent = (double)log->summary.bytes_written;
    for (uint64_t i = 0; i < log->event_count; i++) {
        if ((double)log->events[i].offset > extent) extent = (double)log->events[i].offset;
    }
    for (int i = 0; i < level_count; i++) {
        if (levels[i].median_mbps > top) top = levels[i].median_mbps;
    }
    if (extent <= 0) extent = GIB;
    if (top <= 0) top = 1.0;
    // Room for the margin and the rounding up: a higher speed stays at the top edge.
    if (top > DBL_MAX / 4) top = DBL_MAX / 4;
    Plot p;
    p.extent_bytes = extent;
    p.x_step = nice_step(extent / GIB, 10);
    p.y_step = nice_step(top * 1.05, 8);
    p.top_mbps = ceil(top * 1.05 / p.y_step) * p.y_step;
    return p;
}

void draw_axes(FILE* out, const Plot* p) {
    fputs("<g stroke=\"#e3e3e3\" stroke-width=\"1\">\n", out);
    for (double y = p->y_step; y <= p->top_mbps * (1 + 1e-9); y += p->y_step) {
        fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", LEFT, py(p, y),
                RIGHT, py(p, y));
    }
    double extent_gib = p->extent_bytes / GIB;
    for (double x = p->x_step; x <= extent_gib * (1 + 1e-9); x += p->x_step) {
        fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", px(p, x * GIB),
                TOP, px(p, x * GIB), BOTTOM);
    }
    fputs("</g>\n", out);
    fprintf(out,
            "<path d=\"M%.1f %.1fV%.1fH%.1f\" fill=\"none\" stroke=\"#333\" stroke-width=\"1\"/>\n",
            LEFT, TOP, BOTTOM, RIGHT);

    fputs("<g font-size=\"12\" fill=\"#333\">\n<g text-anchor=\"end\">\n", out);
    int yd = decimals_for(p->y_step);
    // Speeds no drive reaches (a log may hold them) as powers of ten.
    const char* y_format = p->top_mbps < 1e12 ? "<text x=\"%.1f\" y=\"%.1f\">%.*f</text>\n"
                                              : "<text x=\"%.1f\" y=\"%.1f\">%.*g</text>\n";
    if (p->top_mbps >= 1e12) yd = 3;
    for (double y = 0; y <= p->top_mbps * (1 + 1e-9); y += p->y_step) {
        fprintf(out, y_format, LEFT - 6, py(p, y) + 4, yd, y);
    }
    fputs("</g>\n<g text-anchor=\"middle\">\n", out);
    int xd = decimals_for(p->x_step);
    for (double x = 0; x <= extent_gib * (1 + 1e-9); x += p->x_step) {
        fprintf(out, "<text x=\"%.1f\" y=\"%.1f\">%.*f</text>\n", px(p, x * GIB), BOTTOM + 17, xd,
                x);
    }
    fputs("</g>\n", out);
    fprintf(out,
            "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"13\">Position in the "
            "test file (GiB, 1 GiB = 2\xC2\xB3\xE2\x81\xB0 bytes)</text>\n",
            (LEFT + RIGHT) / 2, BOTTOM + 38);
    fprintf(out,
            "<text transform=\"translate(20 %.1f) rotate(-90)\" text-anchor=\"middle\" "
            "font-size=\"13\">Speed (MB/s, 1 MB = 10\xE2\x81\xB6 bytes)</text>\n",
            (TOP + BOTTOM) / 2);
    fputs("</g>\n", out);
}

// ---- the samples of one phase ----

struct Columns {
    double first[COLUMNS];
    double last[COLUMNS];
    double low[COLUMNS];
    double high[COLUMNS];
    unsigned char used[COLUMNS];
    unsigned char below[COLUMNS]; // a write sample under the minimum falls in it
};

Columns g_columns; // 40 KB, too large for a comfortable stack frame

void draw_phase(FILE* out, const DriveLog* log, const Plot* p, int phase, const char* color,
                int mark_below) {
    uint64_t n = rows_of(log, phase);
    if (n == 0) return;
    fprintf(out,
            "<path fill=\"none\" stroke=\"%s\" stroke-width=\"1.4\" stroke-linejoin=\"round\" "
            "d=\"",
            color);
    Columns* c = &g_columns;
    memset(c->used, 0, sizeof c->used);
    memset(c->below, 0, sizeof c->below);
    int exact = n <= COLUMNS;
    double last_end = -1.0;
    for (uint64_t i = 0; i < log->row_count; i++) {
        const LogRow* row = &log->rows[i];
        if (row->phase != phase) continue;
        double x0 = px(p, (double)(row->total_bytes - row->sample_bytes));
        double x1 = px(p, (double)row->total_bytes);
        double y = py(p, row->speed_mbps);
        if (exact) {
            // Each sample a level over the bytes it covered, joined by risers.
            if (fabs(x0 - last_end) > 0.05) {
                fprintf(out, "M%.1f %.1f", x0, y);
            } else {
                fprintf(out, "V%.1f", y);
            }
            fprintf(out, "H%.1f", x1);
            last_end = x1;
            continue;
        }
        int first = (int)floor(x0 - LEFT);
        int end = (int)ceil(x1 - LEFT);
        if (end <= first) end = first + 1;
        for (int k = first < 0 ? 0 : first; k < end && k < COLUMNS; k++) {
            if (!c->used[k]) {
                c->used[k] = 1;
                c->first[k] = c->low[k] = c->high[k] = y;
            }
            c->last[k] = y;
            if (y > c->low[k]) c->low[k] = y; // SVG y grows downwards
            if (y < c->high[k]) c->high[k] = y;
            if (!row->threshold_pass) c->below[k] = 1;
        }
    }
    if (!exact) {
        int joined = 0;
        for (int k = 0; k < COLUMNS; k++) {
            if (!c->used[k]) {
                joined = 0;
                continue;
            }
            double x = LEFT + k + 0.5;
            fprintf(out, "%c%.1f %.1f", joined ? 'L' : 'M', x, c->first[k]);
            if (c->high[k] != c->first[k] || c->low[k] != c->first[k]) {
                fprintf(out, "V%.1fV%.1fV%.1f", c->high[k], c->low[k], c->last[k]);
            }
            joined = 1;
        }
    }
    fputs("\"/>\n", out);
    if (!mark_below) return;
    fprintf(out, "<g fill=\"%s\">\n", ALARM_COLOR);
    if (exact) {
        for (uint64_t i = 0; i < log->row_count; i++) {
            const LogRow* row = &log->rows[i];
            if (row->phase != phase || row->threshold_pass) continue;
            double mid = (double)row->total_bytes - (double)row->sample_bytes / 2;
            fprintf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.6\"/>\n", px(p, mid),
                    py(p, row->speed_mbps));
        }
    } else {
        for (int k = 0; k < COLUMNS; k++) {
            if (c->used[k] && c->below[k]) {
                fprintf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.2\"/>\n", LEFT + k + 0.5,
                        c->low[k]);
            }
        }
    }
    fputs("</g>\n", out);
}

// ---- levels, minimum, events ----

void draw_levels(FILE* out, const Plot* p, const ChartLevel* levels, int level_count) {
    if (level_count == 0) return;
    fputs("<g stroke=\"#888\" stroke-width=\"1\" stroke-dasharray=\"2 3\">\n", out);
    for (int i = 1; i < level_count; i++) {
        double x = px(p, (double)levels[i].start_byte);
        fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", x, TOP, x,
                BOTTOM);
    }
    fprintf(out, "</g>\n<g stroke=\"%s\" stroke-width=\"3.2\" stroke-opacity=\"0.85\">\n",
            LEVEL_COLOR);
    for (int i = 0; i < level_count; i++) {
        double y = py(p, levels[i].median_mbps);
        fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n",
                px(p, (double)levels[i].start_byte), y, px(p, (double)levels[i].end_byte), y);
    }
    fputs("</g>\n", out);
    // Labels on a white halo, so they stay readable over the samples.
    fputs("<g font-size=\"12\" font-weight=\"bold\" stroke=\"#fff\" stroke-width=\"3.5\" "
          "paint-order=\"stroke\" stroke-linejoin=\"round\">\n",
          out);
    for (int i = 0; i < level_count; i++) {
        double x0 = px(p, (double)levels[i].start_byte);
        double x1 = px(p, (double)levels[i].end_byte);
        double y = py(p, levels[i].median_mbps);
        double ty = y - 7 < TOP + 12 ? y + 17 : y - 7;
        char speed[32];
        fprintf(
            out,
            "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"#b35400\">%s MB/s</text>\n",
            (x0 + x1) / 2, ty, mbps_text(levels[i].median_mbps, speed));
    }
    fputs("</g>\n", out);
}

void draw_minimum(FILE* out, const DriveLog* log, const Plot* p) {
    double minimum = log->minimum_required_mbps;
    if (minimum <= 0) return;
    double y = py(p, minimum);
    char speed[32];
    fprintf(out,
            "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
            "stroke-width=\"1.3\" stroke-dasharray=\"7 4\"/>\n",
            LEFT, y, RIGHT, y, ALARM_COLOR);
    fprintf(out,
            "<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" fill=\"%s\" stroke=\"#fff\" "
            "stroke-width=\"3.5\" paint-order=\"stroke\">minimum %s MB/s</text>\n",
            LEFT + 6, y - 5, ALARM_COLOR, mbps_text(minimum, speed));
}

const char* event_label(const char* name) {
    if (strcmp(name, "data_mismatch") == 0) return "mismatch";
    if (strcmp(name, "write_failed_or_short_write") == 0) return "write failure";
    if (strcmp(name, "read_failed_or_short_read") == 0) return "read failure";
    if (strcmp(name, "duration_limit_reached") == 0) return "duration limit";
    if (strcmp(name, "flush_failed") == 0) return "flush failure";
    return name;
}

void draw_events(FILE* out, const DriveLog* log, const Plot* p) {
    if (log->event_count == 0) return;
    // One line per pixel column, however many events fall there.
    unsigned char drawn[COLUMNS + 1] = {0};
    double last_label = -1000.0;
    fputs("<g font-size=\"11\">\n", out);
    for (uint64_t i = 0; i < log->event_count; i++) {
        const LogEvent* e = &log->events[i];
        double x = px(p, (double)e->offset);
        int k = (int)(x - LEFT);
        if (k < 0) k = 0;
        if (k > COLUMNS) k = COLUMNS;
        if (drawn[k]) continue;
        drawn[k] = 1;
        int neutral = strcmp(e->name, "duration_limit_reached") == 0;
        const char* color = neutral ? MUTED_COLOR : ALARM_COLOR;
        fprintf(out,
                "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                "stroke-width=\"1.2\" stroke-dasharray=\"4 2\"/>\n",
                x, TOP, x, BOTTOM, color);
        if (x - last_label < 90) continue;
        last_label = x;
        int right_side = x > RIGHT - 90;
        fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"%s\" fill=\"%s\">",
                right_side ? x - 3 : x + 3, TOP + 12, right_side ? "end" : "start", color);
        put_text(out, event_label(e->name));
        fputs("</text>\n", out);
    }
    fputs("</g>\n", out);
}

// ---- damage ----

const char* const DAMAGE_COLORS[SECTOR_KIND_COUNT] = {"#ffffff", "#7f7f7f", "#17becf",
                                                       "#ffbf00", "#9467bd", "#d62728"};

// The damaged regions shaded by kind, one band per run of pixel columns of one
// kind (so 4096 regions still make a small file), and the likely capacity.
void draw_damage(FILE* out, const DriveLog* log, const Plot* p) {
    const LogDamage* d = &log->damage;
    if (!d->present) return;
    unsigned char kind[COLUMNS] = {0};
    for (uint32_t i = 0; i < d->region_count; i++) {
        const DamageRegion* g = &d->regions[i];
        // Clamped as doubles: a region far past the axis must not overflow an int.
        double a = fmin(fmax(px(p, (double)g->start) - LEFT, 0.0), COLUMNS - 1);
        double b = fmin(ceil(px(p, (double)g->end) - LEFT), COLUMNS);
        // Even a region narrower than a pixel shows in the column it falls in.
        for (int k = (int)a; k < (int)b || k == (int)a; k++) kind[k] = (unsigned char)g->kind;
    }
    fputs("<g opacity=\"0.28\">\n", out);
    for (int k = 0; k < COLUMNS;) {
        int end = k + 1;
        while (end < COLUMNS && kind[end] == kind[k]) end++;
        if (kind[k] != SECTOR_INTACT) {
            fprintf(out, "<rect x=\"%d\" y=\"%.1f\" width=\"%d\" height=\"%.1f\" fill=\"%s\"/>\n",
                    (int)LEFT + k, TOP, end - k, BOTTOM - TOP, DAMAGE_COLORS[kind[k]]);
        }
        k = end;
    }
    fputs("</g>\n", out);
    if (!d->has_capacity) return;
    char a[64];
    format_bytes(d->capacity_bytes, a);
    double x = px(p, (double)d->capacity_bytes);
    if (x > RIGHT) x = RIGHT;
    fprintf(out,
            "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
            "stroke-width=\"2\"/>\n",
            x, TOP, x, BOTTOM, DAMAGE_COLORS[SECTOR_MISPLACED]);
    int right_side = x > RIGHT - 160;
    fprintf(out,
            "<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"%s\" fill=\"%s\" "
            "stroke=\"#fff\" stroke-width=\"3.5\" paint-order=\"stroke\">likely capacity %s</text>\n",
            right_side ? x - 4 : x + 4, TOP + 28, right_side ? "end" : "start",
            DAMAGE_COLORS[SECTOR_MISPLACED], a);
}

// ---- title block ----

void span(FILE* out, const char* color, const char* text) {
    fprintf(out, "<tspan fill=\"%s\">", color);
    put_text(out, text);
    fputs("</tspan>", out);
}

void title_block(FILE* out, const DriveLog* log, const ChartLevel* levels, int level_count,
                 const char* device) {
    const LogSummary* s = &log->summary;
    char a[64], b[64];

    text_open(out, 20, 28, "font-size=\"17\" font-weight=\"bold\"");
    put_text(out, log->target_path[0] ? log->target_path : "(no target path)", 95);
    // The device, when the run that drew the chart knew it; the log does not keep it.
    if (device && device[0]) {
        fputs("<tspan font-size=\"13\" font-weight=\"normal\" fill=\"#444\"> \xC2\xB7 ", out);
        put_text(out, device, 70);
        fputs("</tspan>", out);
    }
    fputs("</text>\n", out);

    // Where and when, in one line that fits the picture: the volume's path
    // gives way first, then the program's name, the extra keys and the file system.
    const double room_em = (WIDTH - 40) / 12.5;
    format_bytes(log->target_bytes, a);
    char started[LOG_TEXT_BYTES];
    snprintf(started, sizeof started, "%s", log->started_local);
    char* t = strchr(started, 'T');
    if (t) *t = ' ';
    char size_part[96];
    snprintf(size_part, sizeof size_part, " \xC2\xB7 test size %s \xC2\xB7 started ", a);
    size_t root_chars = 40;
    size_t program_chars = 60;
    size_t fs_chars = 20;
    int extras = log->extra_count;
    for (;;) {
        double em = text_em("file system  on ") + text_em(log->filesystem, fs_chars) +
                    text_em(log->volume_root, root_chars) + text_em(size_part) +
                    text_em(started, 24) + text_em(" \xC2\xB7 ") +
                    text_em(log->program, program_chars);
        for (int i = 0; i < extras; i++) em += text_em(" \xC2\xB7 ") + text_em(log->extra[i], 40);
        if (em <= room_em) break;
        if (root_chars > 24) root_chars--;
        else if (program_chars > 24) program_chars--;
        else if (root_chars > 12) root_chars--;
        else if (extras > 0) extras--;
        else if (fs_chars > 8) fs_chars--;
        else break;
    }
    text_open(out, 20, 48, "font-size=\"12.5\" fill=\"#444\"");
    fputs("file system ", out);
    put_text(out, log->filesystem, fs_chars);
    fputs(" on ", out);
    put_text(out, log->volume_root, root_chars);
    fputs(size_part, out);
    put_text(out, started, 24);
    for (int i = 0; i < extras; i++) {
        fputs(" \xC2\xB7 ", out);
        put_text(out, log->extra[i], 40);
    }
    fputs(" \xC2\xB7 ", out);
    put_text(out, log->program, program_chars);
    fputs("</text>\n", out);

    // The verdicts, as the final report words them.
    text_open(out, 20, 70, "font-size=\"13\"");
    int writes = has_phase(log, LOG_PHASE_WRITE);
    int verifies = has_phase(log, LOG_PHASE_VERIFY);
    int write_failed = 0;
    int verify_failed = 0;
    for (uint64_t i = 0; i < log->event_count; i++) {
        write_failed |= is_write_failure(log->events[i].name);
        verify_failed |= strcmp(log->events[i].name, "open_verify_failed") == 0 ||
                         strcmp(log->events[i].name, "read_failed_or_short_read") == 0;
    }
    fputs("Write: ", out);
    if (!log->have_summary) {
        span(out, ALARM_COLOR, "NO SUMMARY (the run ended early)");
    } else if (!writes && verifies && !write_failed) {
        fputs("none in this run", out);
    } else if (write_failed) {
        span(out, ALARM_COLOR, "FAILED");
    } else if (s->user_stopped && s->bytes_written < log->target_bytes) {
        // The log keeps one stop flag for both phases; a write that reached its
        // size was not stopped, whatever stopped the verification.
        span(out, "#a05a00", "STOPPED BY USER / LIMIT");
    } else {
        span(out, PASS_COLOR, "COMPLETED");
    }
    if (log->have_summary && (writes || write_failed)) {
        format_bytes(s->bytes_written, a);
        fprintf(out, ", %s written", a);
    }
    double minimum = log->minimum_required_mbps;
    if (minimum > 0 && writes) {
        uint64_t below = 0;
        for (uint64_t i = 0; i < log->row_count; i++) {
            below += log->rows[i].phase == LOG_PHASE_WRITE && !log->rows[i].threshold_pass;
        }
        fprintf(out, " \xC2\xB7 Minimum %s MB/s: ", mbps_text(minimum, b));
        span(out, below ? ALARM_COLOR : PASS_COLOR, below ? "FAIL" : "PASS");
        fprintf(out, ", %llu sample%s below", (unsigned long long)below, below == 1 ? "" : "s");
    } else if (writes) {
        fputs(" \xC2\xB7 no required minimum", out);
    }
    fputs("</text>\n", out);
    text_open(out, 20, 88, "font-size=\"13\"");
    fputs("Data integrity: ", out);
    if (log->have_summary && s->verification_requested) {
        int pass = !verify_failed && s->bytes_verified == s->bytes_written &&
                   s->verification_mismatch_blocks == 0 && s->verification_errors == 0;
        span(out, pass ? PASS_COLOR : ALARM_COLOR, pass ? "PASS" : "FAIL / INCOMPLETE");
        format_bytes(s->bytes_verified, a);
        fprintf(out, ", %s verified", a);
        // With a damage verdict to show, the events line already counts the mismatches.
        if (s->verification_mismatch_blocks && !log->damage.present) {
            fprintf(out, ", %llu mismatch block%s",
                    (unsigned long long)s->verification_mismatch_blocks,
                    s->verification_mismatch_blocks == 1 ? "" : "s");
        }
        if (s->verification_errors) {
            fprintf(out, ", %llu read error%s", (unsigned long long)s->verification_errors,
                    s->verification_errors == 1 ? "" : "s");
        }
        if (log->damage.present) {
            const LogDamage* d = &log->damage;
            DamageVerdict v = {};
            v.finding = d->finding;
            v.wraps = d->wraps;
            v.wrap_bytes = d->wrap_bytes;
            v.has_capacity = d->has_capacity;
            v.likely_capacity_bytes = d->capacity_bytes;
            v.displacement_bytes = d->displacement_bytes;
            v.flipped_bits = d->flipped_bits;
            char verdict[256];
            damage_verdict_text(verdict, sizeof verdict, &v);
            fputs(" \xC2\xB7 ", out);
            span(out, ALARM_COLOR, verdict);
        }
    } else if (log->have_summary) {
        fputs("not verified", out);
    } else {
        fputs(verifies ? "unknown (verification cut off)" : "unknown", out);
    }
    fputs("</text>\n", out);

    // The events, each kind once with its count and first offset.
    struct Kind {
        const LogEvent* first;
        uint64_t times;
    } kinds[4];
    int kind_count = 0;
    int more = 0;
    for (uint64_t i = 0; i < log->event_count; i++) {
        const LogEvent* e = &log->events[i];
        int k = 0;
        while (k < kind_count && strcmp(kinds[k].first->name, e->name) != 0) k++;
        if (k < kind_count) {
            kinds[k].times++;
        } else if (kind_count < 4) {
            kinds[kind_count++] = {e, 1};
        } else {
            more = 1;
        }
    }
    text_open(out, 20, 106, "font-size=\"13\"");
    fputs("Events: ", out);
    if (kind_count == 0) fputs("none", out);
    for (int k = 0; k < kind_count && k < 3; k++) {
        const LogEvent* e = kinds[k].first;
        if (k > 0) fputs("; ", out);
        int neutral = strcmp(e->name, "duration_limit_reached") == 0;
        span(out, neutral ? MUTED_COLOR : ALARM_COLOR, e->name);
        if (kinds[k].times > 1) {
            fprintf(out, " \xC3\x97%llu, first", (unsigned long long)kinds[k].times);
        }
        fprintf(out, " at %.3f GiB, code %lu", (double)e->offset / GIB,
                (unsigned long)e->error_code);
    }
    if (kind_count > 3 || more) fputs("; more kinds", out);
    fputs("</text>\n", out);

    // The write speed levels and where they change.
    text_open(out, 20, 124, "font-size=\"13\"");
    fputs("Write speed levels: ", out);
    if (level_count == 0) fputs("none (no write samples)", out);
    if (level_count > 6) {
        fprintf(out, "%d, see the chart", level_count);
    } else if (level_count > 0) {
        for (int i = 0; i < level_count; i++) {
            // No-break spaces: a plain space at a tspan's edge may be collapsed.
            if (i) fputs("\xC2\xA0\xE2\x86\x92\xC2\xA0", out);
            span(out, "#b35400", mbps_text(levels[i].median_mbps, b));
        }
        fputs(" MB/s", out);
        for (int i = 1; i < level_count; i++) {
            fprintf(out, "%s%.2f", i == 1 ? ", changing at " : ", ",
                    (double)levels[i].start_byte / GIB);
        }
        if (level_count > 1) fputs(" GiB", out);
    }
    if (level_count > 0) {
        fprintf(out, " \xC2\xB7 sustained write speed <tspan font-weight=\"bold\">%s MB/s</tspan>",
                mbps_text(levels[level_count - 1].median_mbps, b));
    }
    fputs("</text>\n", out);
}

void legend(FILE* out, const DriveLog* log, int level_count) {
    double x = LEFT;
    double y = TOP - 14;
    fputs("<g font-size=\"12\" fill=\"#333\">\n", out);
    struct Item {
        int shown;
        const char* label;
        const char* swatch;
    } items[] = {
        {has_phase(log, LOG_PHASE_WRITE), "write",
         "<path d=\"M%.1f %.1fh22\" stroke=\"#1f5fa8\" stroke-width=\"2\"/>"},
        {has_phase(log, LOG_PHASE_VERIFY), "read-back (verify)",
         "<path d=\"M%.1f %.1fh22\" stroke=\"#4caf64\" stroke-width=\"2\"/>"},
        {level_count > 0, "write speed level (median)",
         "<path d=\"M%.1f %.1fh22\" stroke=\"#f07c12\" stroke-width=\"3.2\"/>"},
        {log->minimum_required_mbps > 0, "required minimum",
         "<path d=\"M%.1f %.1fh22\" stroke=\"#d62728\" stroke-width=\"1.3\" "
         "stroke-dasharray=\"7 4\"/>"},
        {any_below(log), "sample below the minimum",
         "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.6\" transform=\"translate(11 0)\" "
         "fill=\"#d62728\"/>"},
        {log->event_count > 0, "event",
         "<path d=\"M%.1f %.1fm11 -6v12\" stroke=\"#d62728\" stroke-width=\"1.2\" "
         "stroke-dasharray=\"4 2\"/>"},
    };
    for (const Item& item : items) {
        if (!item.shown) continue;
        fprintf(out, item.swatch, x, y - 4);
        fputs("\n", out);
        fprintf(out, "<text x=\"%.1f\" y=\"%.1f\">%s</text>\n", x + 27, y, item.label);
        x += 27 + 6.6 * (double)strlen(item.label) + 18;
    }
    // The damage kinds shaded on the chart.
    for (uint32_t kind = SECTOR_ZERO; kind < SECTOR_KIND_COUNT; kind++) {
        if (!log->damage.present || log->damage.kind_bytes[kind] == 0) continue;
        fprintf(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"12\" height=\"10\" fill=\"%s\" "
                "opacity=\"0.5\"/>\n", x, y - 9, DAMAGE_COLORS[kind]);
        fprintf(out, "<text x=\"%.1f\" y=\"%.1f\">%s</text>\n", x + 16, y, sector_kind_name(kind));
        x += 16 + 6.6 * (double)strlen(sector_kind_name(kind)) + 14;
    }
    fputs("</g>\n", out);
}

} // namespace

int chart_svg_write(FILE* out, const DriveLog* log, const ChartLevel* levels, int level_count,
                    const char* device) {
    Plot p = make_plot(log, levels, level_count);
    fprintf(out,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
            "viewBox=\"0 0 %d %d\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\">\n",
            WIDTH, HEIGHT, WIDTH, HEIGHT);
    fputs("<title>", out);
    put_text(out, "drive-test speed chart: ");
    put_text(out, log->target_path);
    fputs("</title>\n", out);
    fprintf(out, "<rect width=\"%d\" height=\"%d\" fill=\"#fff\"/>\n", WIDTH, HEIGHT);
    title_block(out, log, levels, level_count, device);
    legend(out, log, level_count);
    draw_axes(out, &p);
    draw_damage(out, log, &p);
    draw_phase(out, log, &p, LOG_PHASE_VERIFY, VERIFY_COLOR, 0);
    draw_phase(out, log, &p, LOG_PHASE_WRITE, WRITE_COLOR, log->minimum_required_mbps > 0);
    draw_levels(out, &p, levels, level_count);
    draw_minimum(out, log, &p);
    draw_events(out, log, &p);
    fprintf(out,
            "<text x=\"%.1f\" y=\"%d\" text-anchor=\"end\" font-size=\"11\" fill=\"%s\">%llu "
            "write samples, %llu read-back samples</text>\n",
            RIGHT, HEIGHT - 8, MUTED_COLOR, (unsigned long long)rows_of(log, LOG_PHASE_WRITE),
            (unsigned long long)rows_of(log, LOG_PHASE_VERIFY));
    fputs("</svg>\n", out);
    return fflush(out) == 0 && !ferror(out);
}
