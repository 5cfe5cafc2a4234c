// A circular byte buffer of fixed capacity: the one ring type of the serial engine's buffers
// and the platform's device queues. Bytes are stored at the head and taken from the tail; both
// indices stay below the capacity. A full ring has its head on its tail, as an empty one has,
// and a flag tells the two apart. Not synchronised: its owner guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>

class TByteRing {
  public:
    TByteRing() = default;
    // A zero-filled ring of capacity bytes; throws std::bad_alloc.
    explicit TByteRing(size_t capacity) {
        if (!Allocate(capacity)) throw std::bad_alloc();
    }

    // Replaces the storage with capacity zero-filled bytes, empty; false, and no storage, when
    // they cannot be allocated. A capacity of 0 gives a ring that holds nothing.
    bool Allocate(size_t capacity) {
        Release();
        FBytes.reset(new (std::nothrow) uint8_t[capacity]());
        if (!FBytes) return false;
        FCapacity = capacity;
        return true;
    }
    // Frees the storage.
    void Release() {
        FBytes.reset();
        FCapacity = FHead = FTail = 0;
        FFull = false;
    }
    // Gives the ring capacity bytes, keeping what it holds, in order, from index 0; false, and
    // nothing changed, when capacity is below Count() or cannot be allocated.
    bool Resize(size_t capacity) {
        const size_t count = Count();
        if (capacity < count) return false;
        std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[capacity]());
        if (!bytes) return false;
        Peek(0, bytes.get(), count);
        FBytes = std::move(bytes);
        FCapacity = capacity;
        FTail = 0;
        FHead = count == capacity ? 0 : count;
        FFull = count == capacity && count != 0;
        return true;
    }

    bool Allocated() const { return FBytes != nullptr; }
    size_t Capacity() const { return FCapacity; }
    size_t Count() const {
        if (FHead == FTail) return FFull ? FCapacity : 0;
        return FHead > FTail ? FHead - FTail : FHead + FCapacity - FTail;
    }
    size_t Free() const { return FCapacity - Count(); }
    bool Empty() const { return FHead == FTail && !FFull; }
    bool Full() const { return FFull; }
    // Where the next byte is stored, and where the oldest one is.
    size_t Head() const { return FHead; }
    size_t Tail() const { return FTail; }
    // The storage itself, Capacity() bytes, stored or not.
    const uint8_t* Storage() const { return FBytes.get(); }

    // Stores count bytes at the head; false, and nothing stored, when they do not fit.
    bool Put(const uint8_t* source, size_t count) {
        if (count > Free()) return false;
        const size_t first = std::min(count, FCapacity - FHead);
        if (count != 0) {
            std::memcpy(FBytes.get() + FHead, source, first);
            std::memcpy(FBytes.get(), source + first, count - first);
        }
        Advance(FHead, count);
        if (count != 0) FFull = FHead == FTail;
        return true;
    }
    // Copies count bytes, beginning offset bytes after the tail, without taking them; false,
    // and nothing copied, when fewer are stored there.
    bool Peek(size_t offset, uint8_t* dest, size_t count) const {
        const size_t stored = Count();
        if (offset > stored || count > stored - offset) return false;
        if (count == 0) return true;
        size_t start = FTail;
        Advance(start, offset);
        const size_t first = std::min(count, FCapacity - start);
        std::memcpy(dest, FBytes.get() + start, first);
        std::memcpy(dest + first, FBytes.get(), count - first);
        return true;
    }
    // Takes up to count bytes from the tail into dest; returns how many.
    size_t Take(uint8_t* dest, size_t count) {
        count = std::min(count, Count());
        Peek(0, dest, count);
        Drop(count);
        return count;
    }
    // Takes count bytes from the tail (at most Count()) without copying them.
    void Drop(size_t count) {
        count = std::min(count, Count());
        Advance(FTail, count);
        if (count != 0) FFull = false;
    }
    // Empties the ring and puts both indices at 0.
    void Clear() {
        FHead = FTail = 0;
        FFull = false;
    }

    // The free bytes from the head on, up to the end of the storage or the tail, for a producer
    // that writes in place; Commit(n) then stores n of them.
    std::span<uint8_t> FreeRun() {
        if (FFull || !FBytes) return {};
        const size_t end = FTail > FHead ? FTail : FCapacity;
        return {FBytes.get() + FHead, end - FHead};
    }
    void Commit(size_t count) {
        count = std::min(count, FreeRun().size());
        Advance(FHead, count);
        if (count != 0) FFull = FHead == FTail;
    }
    // The stored bytes from the tail on, up to the end of the storage or the head.
    std::span<const uint8_t> StoredRun() const {
        if (Empty()) return {};
        const size_t end = FHead > FTail ? FHead : FCapacity;
        return {FBytes.get() + FTail, end - FTail};
    }
    // Moves the stored bytes, in order, to the start of the storage, so that StoredRun() holds
    // them all.
    void Linearize() {
        if (FTail == 0) return;
        const size_t count = Count();
        std::rotate(FBytes.get(), FBytes.get() + FTail, FBytes.get() + FCapacity);
        FTail = 0;
        FHead = count == FCapacity ? 0 : count;
    }

  private:
    void Advance(size_t& index, size_t count) const {
        index += count;
        if (index >= FCapacity) index -= FCapacity;
    }

    std::unique_ptr<uint8_t[]> FBytes;
    size_t FCapacity = 0;
    size_t FHead = 0;
    size_t FTail = 0;
    bool FFull = false;
};
