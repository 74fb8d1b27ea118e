#include "change_points.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_calls.hpp"

namespace ombrix {

Ref find_change_points(const FloatVector& profile) {
    Ref where = np_attr(names.where);
    Ref diff = where ? np_attr(names.diff) : Ref();
    Ref view = diff ? make_view_object(profile) : Ref();
    Ref d = view ? call(diff, {view.get()}) : Ref();
    Ref mask = d ? Ref::steal(PyObject_RichCompare(d.get(), constants.int_0, Py_NE)) : Ref();
    Ref found = mask ? call(where, {mask.get()}) : Ref();
    return found ? item_at(found.get(), 0) : Ref();
}

}  // namespace ombrix
