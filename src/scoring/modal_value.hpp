// The modal value of a profile as a dictionary of Python float keys finds
// it: equal values share a key (0.0 and -0.0 one key, held as the first),
// every NaN is a key of its own, and of equally frequent keys the one seen
// first wins, as a stable sort by descending count keeps it.
#pragma once

#include "../capi/views.hpp"

namespace ombrix {

struct ModalValue {
    Py_ssize_t distinct = 0;  // number of keys
    double value = 0.0;       // meaningful when distinct > 0
};

// Throws std::bad_alloc when the table cannot grow.
ModalValue modal_value(const FloatVector& x);

}  // namespace ombrix
