// PointerList growth and editing.
#include "framework/PointerList.h"

#include <cstdlib>
#include <cstring>

PointerList* NewList() {
    PointerList* list = NewObject<PointerList>();
    list->GrowBy = 4;
    return list;
}

void PointerList::Destroy() {
    Clear();
    BaseObject::Destroy();
}

void PointerList::SetCapacity(int capacity) {
    if (capacity < Count) capacity = Count;
    if (capacity == Capacity) return;
    if (capacity == 0) {
        std::free(Items);
        Items = nullptr;
    } else {
        auto* items = static_cast<Item*>(std::realloc(Items, capacity * sizeof(Item)));
        if (!items) std::abort();
        Items = items;
    }
    Capacity = capacity;
}

int PointerList::Add(Item item) {
    int index = Count;
    Count += 1;
    if (index >= Capacity) SetCapacity(index + (GrowBy ? GrowBy : index / 4 + 1));
    Items[index] = item;
    return index;
}

void PointerList::Insert(int index, Item item) {
    if (index < 0 || index > Count) return;
    Add(item);
    std::memmove(Items + index + 1, Items + index, (Count - 1 - index) * sizeof(Item));
    Items[index] = item;
}

void PointerList::Delete(int index, int n) {
    if (n <= 0 || index < 0 || index >= Count) return;
    if (n > Count - index) n = Count - index;
    Count -= n;
    std::memmove(Items + index, Items + index + n, (Count - index) * sizeof(Item));
}

int PointerList::IndexOf(Item item) const {
    for (int i = 0; i < Count; ++i)
        if (Items[i] == item) return i;
    return -1;
}

void PointerList::Remove(Item item) {
    int i = IndexOf(item);
    if (i >= 0) Delete(i, 1);
}

PointerList::Item PointerList::Get(int index) const {
    return index >= 0 && index < Count ? Items[index] : 0;
}

void PointerList::Clear() {
    std::free(Items);
    Items = nullptr;
    Count = 0;
    Capacity = 0;
}
