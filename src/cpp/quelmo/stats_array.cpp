#include "quelmo/stats_array.hpp"

#include <cstddef>
#include <utility>
#include <vector>

#include "pyglue/errors.hpp"

namespace zelvor::quelmo {

using glue::check;
using glue::Ref;

namespace {

// The small arrays' data comes from the interpreter's allocator for buffers: it makes and frees
// small blocks in a fraction of the C heap's time and packs them tighter (240 bytes of statistics
// take a 240-byte block, not a 256-byte heap chunk). That allocator requires the interpreter lock,
// and NumPy holds it whenever it calls these: to make an array's data (here, in the recorder) and to
// resize or free it (an array method, the array's deallocation). Arrays are Python objects, so no
// NumPy code frees one without the lock.
void* stats_malloc(void*, std::size_t size) { return PyMem_Malloc(size); }
void* stats_calloc(void*, std::size_t count, std::size_t size) { return PyMem_Calloc(count, size); }
void* stats_realloc(void*, void* block, std::size_t size) { return PyMem_Realloc(block, size); }
void stats_free(void*, void* block, std::size_t) { PyMem_Free(block); }

PyDataMem_Handler stats_handler = {
    "zelvor_quelmo_pymem", 1, {nullptr, stats_malloc, stats_calloc, stats_realloc, stats_free}};

// float64, as NumPy's own descriptor, and the allocator's capsule: held for the life of the process
// (every small array holds the capsule too).
PyArray_Descr* float64_descr = nullptr;
PyObject* stats_handler_capsule = nullptr;

// Switching NumPy's current allocator is a context-variable change that costs several times the
// array itself, so small arrays are made this many at a time under one switch.
constexpr std::size_t batch_size = 64;

// Made ahead, all of spare_length elements; handed out from the back.
std::vector<Ref> spares;
npy_intp spare_length = -1;

Ref new_array(npy_intp length) {
    Py_INCREF(float64_descr);  // the array takes this reference, also when it fails
    return Ref::steal(PyArray_NewFromDescr(&PyArray_Type, float64_descr, 1, &length, nullptr, nullptr, 0, nullptr));
}

// Puts NumPy's previous allocator back; an error already pending stays the one reported.
void restore_handler(const Ref& previous) {
    if (!PyErr_Occurred()) {
        check(PyDataMem_SetHandler(previous.get()));
        return;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref ours = Ref::steal(PyDataMem_SetHandler(previous.get()));
    if (!ours) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

// Makes a batch of small arrays under our allocator, that allocator being NumPy's current one only
// meanwhile: no other array, of this run or of anyone else, gets it. A batch cut short by a failure
// keeps what it made; the failure comes back when the next batch is made, at the trade that needs it.
void make_spares(npy_intp length) {
    Ref previous = check(PyDataMem_SetHandler(stats_handler_capsule));
    spares.reserve(batch_size);
    while (spares.size() < batch_size) {
        Ref array = new_array(length);
        if (!array) break;
        spares.push_back(std::move(array));
    }
    if (!spares.empty()) PyErr_Clear();  // only a failure after the first array can be pending here
    restore_handler(previous);
    if (spares.empty()) throw glue::ErrorSet{};
}

}  // namespace

void prepare_stats_arrays() {
    if (float64_descr == nullptr) float64_descr = PyArray_DescrFromType(NPY_DOUBLE);
    if (float64_descr == nullptr) throw glue::ErrorSet{};
    if (stats_handler_capsule == nullptr) {
        stats_handler_capsule = check(PyCapsule_New(&stats_handler, "mem_handler", nullptr)).release();
    }
}

Ref new_stats_array(npy_intp length) {
    if (length < 0 || length > small_stats_bytes / npy_intp{sizeof(double)}) {
        Ref array = new_array(length);
        if (!array) throw glue::ErrorSet{};
        return array;
    }
    if (length != spare_length) {
        release_spare_stats_arrays();
        spare_length = length;
    }
    if (spares.empty()) make_spares(length);
    Ref array = std::move(spares.back());
    spares.pop_back();
    return array;
}

void release_spare_stats_arrays() noexcept {
    spares.clear();
    spare_length = -1;
}

}  // namespace zelvor::quelmo
