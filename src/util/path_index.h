// An index of names held elsewhere: finds the number of an entry by its name with no
// allocation per entry or lookup, for lists of a million files where a map's nodes and copied
// keys would take several times the names themselves.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// Open addressing over the entries' numbers: four bytes a slot, at most half the slots used.
// The names stay with the caller, who hands `nameOf(number)` to every call; an entry's name must
// not change while it is indexed. Not thread-safe.
class PathIndex {
public:
    static constexpr uint32_t kNone = UINT32_MAX;

    // Room for `count` entries without growing; for an empty index (the slots are not placed
    // again).
    void reserve(size_t count) {
        if (used_ > 0) return;
        size_t size = 16;
        while (size < count * 2) size *= 2;
        if (size > slots_.size()) slots_.assign(size, kNone);
    }
    void clear() { slots_.clear(), used_ = 0; }
    size_t size() const { return used_; }

    // The entry named `name`, or kNone.
    template <typename NameOf>
    uint32_t find(std::string_view name, NameOf nameOf) const {
        if (slots_.empty()) return kNone;
        for (size_t at = hashOf(name) & mask();; at = (at + 1) & mask()) {
            const uint32_t entry = slots_[at];
            if (entry == kNone) return kNone;
            if (nameOf(entry) == name) return entry;
        }
    }
    // Indexes `entry` under its name unless an entry of that name is indexed: then that one's
    // number, and nothing changes. kNone when `entry` was added.
    template <typename NameOf>
    uint32_t insert(uint32_t entry, NameOf nameOf) {
        if ((used_ + 1) * 2 > slots_.size()) grow(nameOf);
        const std::string_view name = nameOf(entry);
        size_t at = hashOf(name) & mask();
        for (; slots_[at] != kNone; at = (at + 1) & mask())
            if (nameOf(slots_[at]) == name) return slots_[at];
        slots_[at] = entry;
        ++used_;
        return kNone;
    }

    // FNV-1a: the same on every system.
    static uint64_t hashOf(std::string_view name) {
        uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
        return hash ^ (hash >> 29);
    }

private:
    size_t mask() const { return slots_.size() - 1; }
    template <typename NameOf>
    void grow(NameOf nameOf) {
        std::vector<uint32_t> old;
        old.swap(slots_);
        slots_.assign(old.empty() ? 16 : old.size() * 2, kNone);
        for (uint32_t entry : old)
            if (entry != kNone) place(entry, nameOf(entry));
    }
    void place(uint32_t entry, std::string_view name) {
        size_t at = hashOf(name) & mask();
        while (slots_[at] != kNone) at = (at + 1) & mask();
        slots_[at] = entry;
    }

    std::vector<uint32_t> slots_;
    size_t used_ = 0;
};
