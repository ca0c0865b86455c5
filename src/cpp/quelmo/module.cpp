// zelvor.core.quelmo: the process-wide trade-excursion recorder. The engine drives it through five
// native functions published in `__pyx_capi__` (quelmo/recorder.cpp); the recorder's state is in
// quelmo/state.hpp.
#define ZELVOR_IMPORT_NUMPY
#include "pyglue/module.hpp"

#include <initializer_list>

#include "pyglue/capsule.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/numpy.hpp"
#include "quelmo/recorder.hpp"
#include "quelmo/recorder_api.hpp"
#include "quelmo/state.hpp"
#include "quelmo/stats_array.hpp"

namespace zelvor::quelmo {

using glue::check;
using glue::Ref;

namespace {

void initialise(PyObject* m);
glue::ModuleOnce module_once{"quelmo", "zelvor.core.quelmo", initialise};

// The published types are those the engine binds against.
constexpr recorder::StartAnalysis start_analysis_entry = &start_analysis;
constexpr recorder::RecordDate record_date_entry = &record_date;
constexpr recorder::RecordEntry record_entry_entry = &record_entry;
constexpr recorder::RecordExit record_exit_entry = &record_exit;
constexpr recorder::EndAnalysis end_analysis_entry = &end_analysis;

template <class Function>
void* address_of(Function function) {
    return reinterpret_cast<void*>(function);
}

void publish_table(PyObject* m) {
    Ref capi = check(PyDict_New());
    // The variables are published as the references themselves: a binder reads whatever array the
    // recorder holds at the time.
    glue::publish_entry(capi.get(), "entry", state.entry.address(), recorder::array_variable_sig);
    glue::publish_entry(capi.get(), "position", state.position.address(), recorder::array_variable_sig);
    glue::publish_entry(capi.get(), "start_analysis", address_of(start_analysis_entry), recorder::start_analysis_sig);
    glue::publish_entry(capi.get(), "record_date", address_of(record_date_entry), recorder::record_date_sig);
    glue::publish_entry(capi.get(), "record_entry", address_of(record_entry_entry), recorder::record_entry_sig);
    glue::publish_entry(capi.get(), "record_exit", address_of(record_exit_entry), recorder::record_exit_sig);
    glue::publish_entry(capi.get(), "end_analysis", address_of(end_analysis_entry), recorder::end_analysis_sig);
    glue::add_object(m, "__pyx_capi__", capi.get());
}

void initialise(PyObject* m) {
    if (glue::import_numpy() < 0) throw glue::ErrorSet{};
    RecorderState& r = state;
    r.globals = Ref::borrow(PyModule_GetDict(m));
    glue::watch_namespace(r.globals.get());
    glue::register_module(m, module_once.full_name);
    publish_table(m);
    prepare_stats_arrays();

    Ref numpy = check(PyImport_ImportModule("numpy"));
    glue::add_object(m, "org_np", numpy.get());

    Ref empty_shape = check(Py_BuildValue("(ii)", 0, 0));
    r.price = zeros(empty_shape.get(), reinterpret_cast<PyObject*>(&PyFloat_Type));
    r.close = zeros(empty_shape.get(), reinterpret_cast<PyObject*>(&PyFloat_Type));

    for (const glue::Name* name : {&trades_name, &trade_positions_name, &quelmo_name}) {
        Ref list = check(PyList_New(0));
        glue::check_status(PyDict_SetItem(r.globals.get(), name->get(), list.get()));
    }

    r.entry = zeros(0, &PyLong_Type);
    r.entry_trasnaction = zeros(0, &PyLong_Type);
    r.position = zeros(0, &PyFloat_Type);
    r.fee_ratio = 0.0;
    r.tax_ratio = 0.0;

    Ref test_dict = check(PyDict_New());
    glue::add_object(m, "__test__", test_dict.get());
}

PyModuleDef definition =
    glue::module_definition<module_once>("quelmo", "Trade-excursion recorder of the backtest engine.");

}  // namespace

}  // namespace zelvor::quelmo

PyMODINIT_FUNC PyInit_quelmo() { return PyModuleDef_Init(&zelvor::quelmo::definition); }
