#include "numpy_generator.hpp"

#include <cstddef>
#include <cstring>

#include "../capi/calls.hpp"
#include "../capi/process_state.hpp"

namespace ombrix {

StartupRandom startup_random;

namespace {

StartupRandom& found = startup_random;

// The RandomState keeps its cached Gaussian in a C struct of its own,
//   struct { bitgen_t* bit_generator; int has_gauss; double gauss; }
// after a copy of its bit generator's bitgen_t, whose first member is the
// generator state. Both are found by their contents in a RandomState made
// for the purpose, and checked against what its get_state() reports.
struct AugmentedState {
    void* bit_generator;
    int has_gauss;
    double gauss;
};

void* capsule_state(PyObject* bit_generator) {
    Ref capsule = Ref::steal(PyObject_GetAttrString(bit_generator, "capsule"));
    if (!capsule) return nullptr;
    auto* bitgen = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), "BitGenerator"));
    return bitgen ? bitgen[0] : nullptr;  // bitgen_t.state
}

// The offset of the one pointer-sized word of `object` that holds `value`,
// or -1.
Py_ssize_t offset_of_word(PyObject* object, const void* value) {
    Py_ssize_t size = Py_TYPE(object)->tp_basicsize;
    Py_ssize_t hit = -1;
    for (Py_ssize_t offset = sizeof(PyObject); offset + static_cast<Py_ssize_t>(sizeof(void*)) <= size;
         offset += sizeof(void*)) {
        const void* word = nullptr;
        std::memcpy(&word, reinterpret_cast<const char*>(object) + offset, sizeof word);
        if (word != value) continue;
        if (hit >= 0) return -1;  // not unique: no guess
        hit = offset;
    }
    return hit;
}

int read_has_gauss(PyObject* random_state) {
    int value = 0;
    std::memcpy(&value, reinterpret_cast<const char*>(random_state) + found.has_gauss_offset, sizeof value);
    return value;
}

double read_gauss(PyObject* random_state) {
    double value = 0.0;
    std::memcpy(&value, reinterpret_cast<const char*>(random_state) + found.gauss_offset, sizeof value);
    return value;
}

// get_state() of a RandomState compared with the memory the replica reads:
// key, position, cached-Gaussian flag and value.
bool state_agrees(PyObject* random_state, const kernels::Mt19937& mt) {
    Ref state = Ref::steal(PyObject_CallMethod(random_state, "get_state", nullptr));
    if (!state || !PyTuple_Check(state.get()) || PyTuple_GET_SIZE(state.get()) != 5) return false;
    Ref key = Ref::steal(PyObject_CallMethod(PyTuple_GET_ITEM(state.get(), 1), "tolist", nullptr));
    if (!key || !PyList_Check(key.get()) || PyList_GET_SIZE(key.get()) != kernels::kMt19937StateLength) return false;
    for (int i = 0; i < kernels::kMt19937StateLength; ++i) {
        if (PyLong_AsUnsignedLong(PyList_GET_ITEM(key.get(), i)) != mt.key[i]) return false;
    }
    long pos = PyLong_AsLong(PyTuple_GET_ITEM(state.get(), 2));
    long has_gauss = PyLong_AsLong(PyTuple_GET_ITEM(state.get(), 3));
    double gauss = PyFloat_AsDouble(PyTuple_GET_ITEM(state.get(), 4));
    if (PyErr_Occurred()) return false;
    return pos == mt.pos && has_gauss == read_has_gauss(random_state) && gauss == read_gauss(random_state);
}

// Finds the cached Gaussian in a RandomState of NumPy's own making, then
// holds the replica against NumPy's compiled draws on it.
bool examine_private_random_state(PyTypeObject* random_state_type) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    Ref own = call(Ref::borrow(reinterpret_cast<PyObject*>(random_state_type)), {zero.get()});
    if (!own || Py_TYPE(own.get()) != random_state_type) return false;
    Ref own_bit_generator = Ref::steal(PyObject_GetAttr(own.get(), names._bit_generator));
    if (!own_bit_generator) return false;
    void* own_state = capsule_state(own_bit_generator.get());
    if (!own_state) return false;
    Py_ssize_t bitgen_copy = offset_of_word(own.get(), own_state);
    if (bitgen_copy < 0) return false;
    Py_ssize_t augmented = offset_of_word(own.get(), reinterpret_cast<const char*>(own.get()) + bitgen_copy);
    if (augmented < 0) return false;
    found.has_gauss_offset = augmented + static_cast<Py_ssize_t>(offsetof(AugmentedState, has_gauss));
    found.gauss_offset = augmented + static_cast<Py_ssize_t>(offsetof(AugmentedState, gauss));
    auto& mt = *static_cast<kernels::Mt19937*>(own_state);
    // a cached Gaussian, then a reseed that drops it
    if (!Ref::steal(PyObject_CallMethod(own.get(), "standard_normal", nullptr)) || read_has_gauss(own.get()) != 1 ||
        !state_agrees(own.get(), mt)) {
        return false;
    }
    Ref seed = Ref::steal(PyLong_FromLong(12345));
    if (!seed || !call_method(own.get(), names.seed, {seed.get()}) || read_has_gauss(own.get()) != 0 ||
        read_gauss(own.get()) != 0.0 || !state_agrees(own.get(), mt)) {
        return false;
    }
    // NumPy's draws against the replica's from the same state
    kernels::Generator replica;
    kernels::load(replica, mt);
    for (double lam : {0.0, 3.5, 10.0, 20.0, 1000.0}) {
        Ref lam_obj = Ref::steal(PyFloat_FromDouble(lam));
        Ref drawn = lam_obj ? call_method(own.get(), names.poisson, {lam_obj.get()}) : Ref();
        if (!drawn || PyLong_AsLongLong(drawn.get()) != kernels::poisson(replica, lam)) return false;
    }
    Ref drawn = call_method(own.get(), names.exponential, {});
    double value = drawn ? PyFloat_AsDouble(drawn.get()) : -1.0;
    if (!drawn || value != kernels::standard_exponential(replica)) return false;
    kernels::Mt19937 drawn_state;
    kernels::store(replica, drawn_state);
    return std::memcmp(drawn_state.key, mt.key, sizeof mt.key) == 0 && drawn_state.pos == mt.pos;
}

bool examine_global_generator(PyObject* random) {
    Ref mtrand = Ref::steal(PyObject_GetAttrString(random, "mtrand"));
    if (!mtrand || !PyModule_Check(mtrand.get())) return false;
    PyObject* mtrand_dict = PyModule_GetDict(mtrand.get());
    PyObject* random_dict = PyModule_GetDict(random);
    PyObject* const functions[] = {names.seed, names.poisson, names.exponential};
    for (PyObject* name : functions) {
        PyObject* published = PyDict_GetItemWithError(random_dict, name);
        if (!published || published != PyDict_GetItemWithError(mtrand_dict, name)) return false;
    }
    PyObject* random_state = PyDict_GetItemWithError(mtrand_dict, names._rand);
    if (!random_state) return false;
    for (PyObject* name : {names.poisson, names.exponential}) {
        Ref owner = Ref::steal(PyObject_GetAttrString(PyDict_GetItemWithError(random_dict, name), "__self__"));
        if (owner.get() != random_state) return false;
    }
    Ref bit_generator = Ref::steal(PyObject_GetAttr(random_state, names._bit_generator));
    Ref mt19937_module = Ref::steal(PyObject_GetAttrString(random, "_mt19937"));
    Ref mt19937_type = mt19937_module ? Ref::steal(PyObject_GetAttrString(mt19937_module.get(), "MT19937")) : Ref();
    if (!bit_generator || !mt19937_type ||
        reinterpret_cast<PyObject*>(Py_TYPE(bit_generator.get())) != mt19937_type.get()) {
        return false;
    }
    Ref lock = Ref::steal(PyObject_GetAttrString(bit_generator.get(), "lock"));
    void* state = capsule_state(bit_generator.get());
    if (!lock || !state || !examine_private_random_state(Py_TYPE(random_state))) return false;
    if (!state_agrees(random_state, *static_cast<kernels::Mt19937*>(state))) return false;

    found.module = Py_NewRef(random);
    found.mtrand_dict = Py_NewRef(mtrand_dict);
    found.seed = Py_NewRef(PyDict_GetItemWithError(random_dict, names.seed));
    found.poisson = Py_NewRef(PyDict_GetItemWithError(random_dict, names.poisson));
    found.exponential = Py_NewRef(PyDict_GetItemWithError(random_dict, names.exponential));
    found.random_state = Py_NewRef(random_state);
    found.bit_generator = bit_generator.release();
    found.lock = lock.release();
    found.mt19937 = static_cast<kernels::Mt19937*>(state);
    return true;
}

}  // namespace

bool numpy_generator_found() {
    if (found.examined) return found.usable;
    if (!state.numpy) return false;
    PyObject* random = PyDict_GetItemWithError(PyModule_GetDict(state.numpy), names.random);
    if (!random) {
        PyErr_Clear();
        return false;  // not imported yet: NumPy's calls import it
    }
    found.examined = true;
    Ref keep = Ref::borrow(random);
    found.usable = PyModule_Check(random) && examine_global_generator(random);
    if (PyErr_Occurred()) {
        found.usable = false;
        if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
    }
    return found.usable;
}

bool numpy_generator_in_place() {
    PyObject* np = PyDict_GetItemWithError(state.globals, names.np);
    if (!np || np != state.numpy || PyDict_GetItemWithError(PyModule_GetDict(np), names.random) != found.module) {
        PyErr_Clear();
        return false;
    }
    PyObject* random_dict = PyModule_GetDict(found.module);
    if (PyDict_GetItemWithError(random_dict, names.seed) != found.seed ||
        PyDict_GetItemWithError(random_dict, names.poisson) != found.poisson ||
        PyDict_GetItemWithError(random_dict, names.exponential) != found.exponential ||
        PyDict_GetItemWithError(found.mtrand_dict, names._rand) != found.random_state) {
        return false;
    }
    Ref bit_generator = Ref::steal(PyObject_GetAttr(found.random_state, names._bit_generator));
    if (!bit_generator) PyErr_Clear();
    return bit_generator.get() == found.bit_generator;
}

void drop_cached_gaussian() {
    int no_gauss = 0;
    double zero = 0.0;
    std::memcpy(reinterpret_cast<char*>(found.random_state) + found.has_gauss_offset, &no_gauss, sizeof no_gauss);
    std::memcpy(reinterpret_cast<char*>(found.random_state) + found.gauss_offset, &zero, sizeof zero);
}


}  // namespace ombrix
