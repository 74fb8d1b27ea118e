// NumPy's legacy global generator as the native draws find it: the objects
// of numpy.random, the RandomState behind them and its MT19937, found at the
// first draw after numpy.random is imported and checked against NumPy's own
// draws; and whether they are still in place.
#pragma once

#include <Python.h>

#include "../kernels/legacy_random.hpp"

namespace ombrix {

// NumPy's legacy global generator as found at the first draw after
// numpy.random was imported (NumPy imports it on first use): the module, the
// functions of it that the backgrounds call, the RandomState behind them,
// its MT19937 bit generator, that generator's lock and state, and where the
// RandomState keeps its cached Gaussian. Found and checked once; while its
// objects are still in place, the native generator draws on NumPy's own state.
struct StartupRandom {
    bool examined = false;  // once found, or found wanting
    bool usable = false;
    PyObject* module = nullptr;  // numpy.random
    PyObject* mtrand_dict = nullptr;
    PyObject* seed = nullptr;
    PyObject* poisson = nullptr;
    PyObject* exponential = nullptr;
    PyObject* random_state = nullptr;
    PyObject* bit_generator = nullptr;
    PyObject* lock = nullptr;
    kernels::Mt19937* mt19937 = nullptr;
    Py_ssize_t has_gauss_offset = 0;  // in the RandomState object
    Py_ssize_t gauss_offset = 0;
    // NumPy's own seeding has run on this bit generator: its seed sequence
    // is None, as every later legacy seeding leaves it.
    bool seeded_by_numpy = false;
};

extern StartupRandom startup_random;

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
