// Vectors whose storage outlives them: one destroyed leaves its storage to
// the next one made, so that a loop of backgrounds, whose every unit makes
// the same few values (cut positions, runs, change points), does not
// allocate them anew. Only a thread that holds the interpreter's lock makes
// these values.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace ombrix {

template <class T>
class ReusedVector : public std::vector<T> {
public:
    ReusedVector() { take_spare(*this); }
    ReusedVector(const ReusedVector&) = default;
    ReusedVector(ReusedVector&&) noexcept = default;
    ReusedVector& operator=(const ReusedVector&) = default;
    ReusedVector& operator=(ReusedVector&&) noexcept = default;
    ~ReusedVector() { give_spare(*this); }

private:
    static constexpr size_t kKept = 8;
    static constexpr size_t kLargest = size_t{1} << 16;  // elements; more storage than this is freed

    static std::vector<std::vector<T>>& spares() {
        static std::vector<std::vector<T>> kept = [] {
            std::vector<std::vector<T>> made;
            made.reserve(kKept);
            return made;
        }();
        return kept;
    }

    static void take_spare(std::vector<T>& v) {
        std::vector<std::vector<T>>& kept = spares();
        if (kept.empty()) return;
        v.swap(kept.back());
        kept.pop_back();
    }

    static void give_spare(std::vector<T>& v) {
        if (v.capacity() == 0 || v.capacity() > kLargest) return;
        std::vector<std::vector<T>>& kept = spares();
        if (kept.size() >= kKept) return;
        v.clear();
        kept.push_back(std::move(v));
    }
};

}  // namespace ombrix
