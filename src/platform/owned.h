// Owners of a test-file handle and a page buffer, so that every way out of a
// phase releases them; release() ends the ownership early where order matters.
#pragma once

#include <stddef.h>

#include "platform/platform.h"

struct OwnedFile {
    plat_file handle = PLAT_NO_FILE;

    OwnedFile() = default;
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;
    ~OwnedFile() { release(); }
    void release() {
        if (handle != PLAT_NO_FILE) plat_close(handle);
        handle = PLAT_NO_FILE;
    }
};

struct OwnedPages {
    void* data = nullptr;
    size_t bytes = 0;

    // A size of 0 asks for nothing and holds nothing.
    explicit OwnedPages(size_t size) : data(size ? plat_alloc_pages(size) : nullptr), bytes(size) {}
    OwnedPages(const OwnedPages&) = delete;
    OwnedPages& operator=(const OwnedPages&) = delete;
    ~OwnedPages() { release(); }
    void release() {
        if (data != nullptr) plat_free_pages(data, bytes);
        data = nullptr;
    }
};
