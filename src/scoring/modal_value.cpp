#include "modal_value.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ombrix {

namespace {

struct Key {
    uint64_t bits = 0;
    double first = 0.0;      // the value as it first occurred
    Py_ssize_t order = 0;    // index of its first occurrence
    Py_ssize_t count = 0;    // 0 marks an empty slot
};

// Open addressing over the bit patterns of non-NaN values, -0.0 folded
// into 0.0 as float equality folds them.
class CountTable {
public:
    CountTable() : slots_(16) {}

    Key& find_or_add(double value, Py_ssize_t index) {
        uint64_t bits = key_bits(value);
        if (2 * (used_ + 1) > slots_.size()) grow();
        Key& slot = probe(slots_, bits);
        if (slot.count == 0) {
            slot.bits = bits;
            slot.first = value;
            slot.order = index;
            ++used_;
        }
        return slot;
    }

    size_t size() const { return used_; }
    const std::vector<Key>& slots() const { return slots_; }

private:
    static uint64_t key_bits(double value) {
        if (value == 0.0) value = 0.0;
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    }

    static Key& probe(std::vector<Key>& slots, uint64_t bits) {
        size_t mask = slots.size() - 1;
        size_t i = static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32) & mask;
        while (slots[i].count != 0 && slots[i].bits != bits) i = (i + 1) & mask;
        return slots[i];
    }

    void grow() {
        std::vector<Key> larger(slots_.size() * 2);
        for (const Key& key : slots_) {
            if (key.count != 0) probe(larger, key.bits) = key;
        }
        slots_.swap(larger);
    }

    std::vector<Key> slots_;
    size_t used_ = 0;
};

}  // namespace

ModalValue modal_value(const FloatVector& x) {
    ModalValue result;
    if (x.length == 0) return result;
    CountTable table;
    Py_ssize_t nan_keys = 0;
    Key* last = nullptr;  // runs of equal values are the common case
    double last_value = 0.0;
    for (Py_ssize_t i = 0; i < x.length; ++i) {
        double value = x[i];
        if (std::isnan(value)) {
            ++nan_keys;
            last = nullptr;
            continue;
        }
        if (!last || !(value == last_value)) {
            last = &table.find_or_add(value, i);
            last_value = value;
        }
        ++last->count;
    }
    result.distinct = static_cast<Py_ssize_t>(table.size()) + nan_keys;
    // The most frequent key, ties to the earliest; when every key occurs
    // once, NaNs included, that is the first element.
    const Key* best = nullptr;
    for (const Key& key : table.slots()) {
        if (key.count == 0) continue;
        if (!best || key.count > best->count || (key.count == best->count && key.order < best->order)) {
            best = &key;
        }
    }
    result.value = (!best || best->count == 1) ? x[0] : best->first;
    return result;
}

}  // namespace ombrix
