#include "resegment.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_calls.hpp"

namespace ombrix {

FloatVector clamped_segment(const FloatVector& data, Py_ssize_t start, Py_ssize_t end) {
    if (data.is_none()) return {};
    Py_ssize_t length = data.length;
    auto clamp = [length](Py_ssize_t index) {
        if (index < 0) index += length;
        if (index < 0) return Py_ssize_t{0};
        return index > length ? length : index;
    };
    start = clamp(start);
    end = clamp(end);
    return subview(data, start, end > start ? end : start);
}

Ref random_call(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Ref random = np_attr(names.random);
    Ref fn = random ? Ref::steal(PyObject_GetAttr(random.get(), name)) : Ref();
    if (!fn) return {};
    return kwnames ? call_kw(fn, args, kwnames) : call(fn, args);
}

}  // namespace ombrix
