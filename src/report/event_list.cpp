// The events of one run, kept in a growing heap array.
#include "report/event_list.h"

#include "platform/platform.h"

EventList::~EventList() {
    plat_mem_free(items);
}

void event_list_add(EventList* list, const char* name, uint32_t code, uint64_t offset) {
    if (list->count == list->capacity) {
        size_t grown = list->capacity ? list->capacity * 2 : 16;
        void* more = plat_mem_realloc(list->items, grown * sizeof(RecordedEvent));
        if (!more) {
            list->lost = 1;
            return;
        }
        list->items = (RecordedEvent*)more;
        list->capacity = grown;
    }
    list->items[list->count++] = RecordedEvent{name, code, offset};
}
