// NumPy's legacy global generator as the native draws find it: the objects
// of numpy.random, the RandomState behind them and its MT19937, found at the
// first draw after numpy.random is imported and checked against NumPy's own
// draws; and whether they are still in place.
#pragma once

namespace ombrix {

// Finds the generator once numpy.random has been imported (Python code runs
// then: a RandomState of its own is made and drawn from). Never leaves an
// exception set, except one that is no Exception (Ctrl-C).
bool numpy_generator_found();

// `np`, np.random, its seed, poisson and exponential, the RandomState and its
// bit generator are still the objects found. Never leaves an exception set.
bool numpy_generator_in_place();

// What RandomState.seed does to the cached Gaussian: drops it.
void drop_cached_gaussian();

}  // namespace ombrix
