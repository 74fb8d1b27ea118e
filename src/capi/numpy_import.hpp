// NumPy's native interfaces, imported once per compiled module, and the
// layout checks of its types against the headers the module was built with.
#pragma once

namespace ombrix {

// Imports NumPy's array and ufunc interfaces; ImportError (with the cause
// as its context) when that fails.
bool import_numpy_interface();

// Refuses NumPy types smaller than the layout this module was built for,
// and keeps ndarray's type.
bool import_numpy_types();

}  // namespace ombrix
