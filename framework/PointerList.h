// PointerList: a growable array of opaque 32-bit items.
#pragma once

#include "framework/BaseObject.h"
#include <cstdint>

class PointerList : public BaseObject {
  public:
    using Item = std::uintptr_t;

    void Destroy() override;

    int Add(Item item);
    void Insert(int index, Item item);
    void Delete(int index, int n);
    int IndexOf(Item item) const;
    void Remove(Item item);
    Item Get(int index) const;
    void Clear();
    void SetCapacity(int capacity);

    // Convenience for object references.
    int Add(const void* p) { return Add(reinterpret_cast<Item>(p)); }
    int IndexOf(const void* p) const { return IndexOf(reinterpret_cast<Item>(p)); }
    void Remove(const void* p) { Remove(reinterpret_cast<Item>(p)); }
    template <class T> T* GetAs(int index) const { return reinterpret_cast<T*>(Get(index)); }

    Item* Items = nullptr;
    int Count = 0;
    int Capacity = 0;
    int GrowBy = 0; // 0 grows by Count/4 + 1
};

PointerList* NewList();
