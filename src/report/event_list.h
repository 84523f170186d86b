// The events of one run (failures and limits), kept for the JSON summary.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct RecordedEvent {
    const char* name; // a literal of the phase that raised it
    uint32_t code;
    uint64_t offset;
};

struct EventList {
    RecordedEvent* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    int lost = 0; // memory ran out: some events are missing

    EventList() = default;
    EventList(const EventList&) = delete;
    EventList& operator=(const EventList&) = delete;
    ~EventList();
};

// Appends an event; when the list cannot grow it stays as it was and marks itself.
void event_list_add(EventList* list, const char* name, uint32_t code, uint64_t offset);
