// Linux: reading sysfs attributes as the identity readers need them.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"
#include "platform/utf8.h"

// Copies what fits, always terminated.
void posix_copy_text(char* out, size_t cap, const char* in) {
    size_t n = strlen(in);
    if (n >= cap) n = cap - 1;
    memcpy(out, in, n);
    out[n] = 0;
}

// Reads dir/name into out: surrounding blanks dropped, control bytes shown as
// '?'. 1 when something is left.
int posix_read_attr(const char* dir, const char* name, char* out, size_t cap) {
    char path[PATH_MAX];
    out[0] = 0;
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char raw[POSIX_ATTR_BYTES];
    ssize_t n = read(fd, raw, sizeof raw - 1);
    close(fd);
    if (n <= 0) return 0;
    size_t begin = 0, end = (size_t)n;
    while (begin < end && (raw[begin] == ' ' || raw[begin] == '\t' || raw[begin] == '\n')) begin++;
    while (end > begin && (raw[end - 1] == ' ' || raw[end - 1] == '\t' || raw[end - 1] == '\n' ||
                           raw[end - 1] == 0))
        end--;
    // Valid UTF-8 only, so every later writer (JSON, SVG, terminal) can trust the text.
    size_t used = 0, seq_start = begin;
    Utf8Decoder d = {};
    for (size_t i = begin; i < end; i++) {
        uint32_t cp = 0;
        int r = utf8_decode_byte(&d, (unsigned char)raw[i], &cp);
        if (r == UTF8_MORE) continue;
        size_t len = r == UTF8_DONE && cp >= 0x20 && (cp < 0x7f || cp >= 0xa0) ? i + 1 - seq_start : 0;
        if (used + (len ? len : 1) >= cap) break;
        if (len) {
            memcpy(out + used, raw + seq_start, len);
            used += len;
        } else {
            out[used++] = '?';
        }
        seq_start = i + 1;
    }
    if (seq_start < end && used + 1 < cap) out[used++] = '?'; // a sequence cut short
    out[used] = 0;
    return used > 0;
}

int posix_read_u64(const char* dir, const char* name, uint64_t* value) {
    char text[64];
    if (!posix_read_attr(dir, name, text, sizeof text)) return 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (end == text || *end) return 0;
    *value = v;
    return 1;
}

int posix_attr_exists(const char* dir, const char* name) {
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path) return 0;
    return access(path, F_OK) == 0;
}

int posix_starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}
