// The probe's journal: the original content of every block, appended and
// flushed to its medium before the block is written, so that a crash, a kill
// or an unplug loses nothing. Restore replays it in reverse (probe.h).
//
// File: a header (magic, version, device path, device identity, size, salt,
// creation time, checksum), then records (magic, sequence number, device
// offset, length, original bytes, checksum). A torn last record (a crash in
// the middle of an append) fails its checksum and is ignored: the write it
// guarded was never issued.
#pragma once

#include <stdint.h>
#include <wchar.h>

#include "platform/owned.h"
#include "platform/platform.h"

const uint32_t JOURNAL_VERSION = 1;
const uint32_t JOURNAL_TEXT_CAP = 1024; // device path and identity, with their NUL

struct JournalHeader {
    uint32_t version;
    uint64_t salt;
    uint64_t device_bytes;
    PlatLocalTime created;
    wchar_t device_path[JOURNAL_TEXT_CAP];
    char identity[JOURNAL_TEXT_CAP]; // UTF-8, whatever stable id the command has
};

struct JournalRecord {
    uint64_t file_offset;   // of the record's original bytes in the journal
    uint64_t device_offset;
    uint32_t length;
};

struct Journal {
    OwnedFile file;
    JournalHeader header = {};
    uint64_t end = 0;       // bytes of valid content
    JournalRecord* records = nullptr;
    uint32_t record_count = 0;
    uint32_t record_cap = 0;
    int torn_tail = 0;      // open: a cut or failing last record was ignored
    int damaged = 0;        // open: a failing record with more content after it

    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    ~Journal();
};

// Creates the journal (refused when a file is there) with its header, flushed.
// 0 on failure, plat_last_error() tells why.
int journal_create(const wchar_t* path, const JournalHeader* header, Journal* out);
// Appends one record (not yet flushed: call journal_flush before the write it
// guards). 0 on failure.
int journal_append(Journal* journal, uint64_t device_offset, const void* original,
                   uint32_t length);
int journal_flush(Journal* journal);

enum JournalOpen {
    JOURNAL_OPENED = 0,
    JOURNAL_UNREADABLE = 1, // plat_last_error() tells why
    JOURNAL_NOT_A_JOURNAL = 2,
    JOURNAL_NEWER_VERSION = 3,
};
// Opens an existing journal for restore: reads the header and indexes every
// record whose checksum holds, up to the first that does not.
int journal_open(const wchar_t* path, Journal* out);
// The header alone, e.g. to list unfinished journals; a JournalOpen value.
int journal_read_header(const wchar_t* path, JournalHeader* out);
// Record index's original bytes into buffer, checksum checked. 0 on failure.
int journal_read_record(Journal* journal, uint32_t index, void* buffer);
// 1 when the journal was made for this device: same size and identity.
int journal_matches_device(const JournalHeader* header, uint64_t device_bytes,
                           const char* identity);
// Closes and deletes the journal file.
int journal_delete(Journal* journal, const wchar_t* path);
