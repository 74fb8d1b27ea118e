#include "global_generator.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "../capi/calls.hpp"
#include "../capi/globals.hpp"
#include "../capi/numpy_api.hpp"
#include "../capi/pending_exception.hpp"
#include "../capi/process_state.hpp"
#include "../capi/python_code.hpp"
#include "numpy_generator.hpp"

namespace ombrix {

namespace {

StartupRandom& found = startup_random;

// Draw counts and lambdas the native replica takes; others go to NumPy's call
// (which refuses the invalid ones with its own exceptions).
constexpr long long kLargestNativeSize = 1LL << 24;
constexpr double kLargestNativeLambda = 1e12;

// The open session: NumPy's lock held, and, once `owned`, the generator's
// state kept in `generator` rather than in NumPy's.
struct Session {
    Session() { generator.table = &seeds; }
    bool open = false;
    bool owned = false;
    kernels::SeedTable seeds;  // the words of 32 consecutive seeds at a time
    kernels::Generator generator;
};

Session session;

// The session's generator, NumPy's state read into it on its first use
// that is not a seed.
kernels::Generator& generator() {
    if (!session.owned) {
        kernels::load(session.generator, *found.mt19937);
        session.owned = true;
    }
    return session.generator;
}

// np.random.<name>(*args), the trailing args being keyword values for
// `kwnames` when given.
Ref random_call(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    Ref random = np_attr(names.random);
    if (!random) return {};
    Ref fn = Ref::steal(PyObject_GetAttr(random.get(), name));
    if (!fn) return {};
    return kwnames ? call_kw(fn, args, kwnames) : call(fn, args);
}

bool native_size(PyObject* size, npy_intp& out) {
    if (!PyLong_CheckExact(size)) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(size, &overflow);
    if (overflow || value < 0 || value > kLargestNativeSize) return false;
    out = static_cast<npy_intp>(value);
    return true;
}

template <class Draw>
Ref array_of_draws(npy_intp count, Draw&& draw) {
    Ref array = Ref::steal(PyArray_SimpleNew(1, &count, NPY_DOUBLE));
    if (!array) return {};
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (npy_intp i = 0; i < count; ++i) data[i] = draw();
    return array;
}

// The native replica may draw now: a session is open, or one opens (NumPy's
// objects in place, the lock taken).
bool native_ready() {
    if (session.open) return true;
    if (!numpy_generator_found()) return false;
    if (!numpy_generator_in_place()) return false;
    Ref taken = Ref::steal(PyObject_CallMethodOneArg(found.lock, names.acquire, Py_False));
    if (!taken) {
        PyErr_Clear();
        return false;
    }
    session.open = taken.get() == Py_True;  // held by another thread: NumPy's call waits for it
    session.owned = false;
    return session.open;
}

// The native replica may draw `count` exponentials of `scale` now.
bool native_exponentials_allowed(double scale, long long count) {
    return std::isfinite(scale) && !std::signbit(scale) && count >= 0 && count <= kLargestNativeSize &&
           native_ready();
}

}  // namespace

void settle_draws() {
    if (!session.open) return;
    if (session.owned) kernels::store(session.generator, *found.mt19937);
    session.open = session.owned = false;
    Ref pending = take_pending_exception();
    Ref released = Ref::steal(PyObject_CallMethodNoArgs(found.lock, names.release));
    if (!released) PyErr_Clear();
    restore_pending_exception(std::move(pending));
}

void install_draws() { set_before_python_code(settle_draws); }

bool GlobalGenerator::seed(int seed) {
    // Every group of draws starts with a seed: the first one finds NumPy's
    // generator, and a Ctrl-C in the middle of that fails this statement.
    bool found_usable = numpy_generator_found();
    if (PyErr_Occurred()) return false;
    if (seed >= 0 && found.seeded_by_numpy && native_ready()) {
        kernels::seed_mt19937(session.generator, static_cast<uint32_t>(seed));
        session.owned = true;
        drop_cached_gaussian();
        return true;
    }
    settle_draws();
    bool genuine = found_usable && numpy_generator_in_place();
    Ref seed_obj = Ref::steal(PyLong_FromLong(seed));
    if (!seed_obj || !random_call(names.seed, {seed_obj.get()})) return false;
    // NumPy's own legacy seeding has left the seed sequence None for good
    if (genuine) found.seeded_by_numpy = true;
    return true;
}

std::optional<long long> GlobalGenerator::native_poisson(double lam) {
    if (lam >= 0.0 && lam <= kLargestNativeLambda && native_ready()) return kernels::poisson(generator(), lam);
    return std::nullopt;
}

bool GlobalGenerator::native_exponentials(double scale, long long count) {
    return native_exponentials_allowed(scale, count);
}

void GlobalGenerator::draw_exponentials(double scale, long long count, double* out) {
    kernels::Generator& g = generator();
    kernels::standard_exponentials(g, out, count);
    for (long long i = 0; i < count; ++i) out[i] = scale * out[i];
}

Ref GlobalGenerator::poisson(double lam) {
    if (std::optional<long long> drawn = native_poisson(lam)) return Ref::steal(PyLong_FromLongLong(*drawn));
    settle_draws();
    Ref lam_obj = Ref::steal(PyFloat_FromDouble(lam));
    if (!lam_obj) return {};
    return random_call(names.poisson, {lam_obj.get()});
}

Ref GlobalGenerator::poisson_as_double(double lam, int size, bool* drawn_natively) {
    if (drawn_natively) *drawn_natively = false;
    if (lam >= 0.0 && lam <= kLargestNativeLambda && size >= 0 && size <= kLargestNativeSize && native_ready()) {
        kernels::Generator& g = generator();
        if (drawn_natively) *drawn_natively = true;
        return array_of_draws(size, [&] { return static_cast<double>(kernels::poisson(g, lam)); });
    }
    settle_draws();
    Ref lam_obj = Ref::steal(PyFloat_FromDouble(lam));
    if (!lam_obj) return {};
    Ref count = Ref::steal(PyLong_FromLong(size));
    if (!count) return {};
    Ref drawn = random_call(names.poisson, {lam_obj.get(), count.get()}, constants.size_kwnames);
    if (!drawn) return {};
    return call_method(drawn.get(), names.astype, {names.double_});
}

Ref GlobalGenerator::exponential(double scale, PyObject* size) {
    npy_intp count = 0;
    if (native_size(size, count) && native_exponentials_allowed(scale, count)) {
        Ref array = Ref::steal(PyArray_SimpleNew(1, &count, NPY_DOUBLE));
        if (!array) return {};
        draw_exponentials(scale, count, static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
        return array;
    }
    settle_draws();
    Ref scale_obj = Ref::steal(PyFloat_FromDouble(scale));
    if (!scale_obj) return {};
    return random_call(names.exponential, {scale_obj.get(), size}, constants.size_kwnames);
}

}  // namespace ombrix
