// zelvor.core.trevane: module initialisation, its namespace, and the binding to the recorder.
#define ZELVOR_IMPORT_NUMPY
#include "pyglue/module.hpp"

#include "pyglue/capsule.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/numpy.hpp"
#include "trevane/excursions.hpp"
#include "trevane/module_state.hpp"
#include "trevane/native_run.hpp"
#include "trevane/run_lock.hpp"
#include "trevane/statistics.hpp"
#include "trevane/tables.hpp"

namespace zelvor::trevane {

ModuleState state;
RecorderEntries recorder_entries;

namespace {

using glue::Ref;

void initialise(PyObject* m);
glue::ModuleOnce module_once{"trevane", "zelvor.core.trevane", initialise};

template <class Pointer>
Pointer bind_function(PyObject* recorder, const char* name, const char* signature) {
    return reinterpret_cast<Pointer>(glue::bind_entry(recorder, glue::EntryKind::function, name, signature));
}

void bind_recorder() {
    Ref recorder = glue::check(PyImport_ImportModule(recorder::module_name));
    PyObject* m = recorder.get();
    auto& e = recorder_entries;
    e.entry = static_cast<PyArrayObject**>(
        glue::bind_entry(m, glue::EntryKind::variable, "entry", recorder::array_variable_sig));
    e.position = static_cast<PyArrayObject**>(
        glue::bind_entry(m, glue::EntryKind::variable, "position", recorder::array_variable_sig));
    e.start_analysis = bind_function<recorder::StartAnalysis>(m, "start_analysis", recorder::start_analysis_sig);
    e.record_date = bind_function<recorder::RecordDate>(m, "record_date", recorder::record_date_sig);
    e.record_entry = bind_function<recorder::RecordEntry>(m, "record_entry", recorder::record_entry_sig);
    e.record_exit = bind_function<recorder::RecordExit>(m, "record_exit", recorder::record_exit_sig);
    e.end_analysis = bind_function<recorder::EndAnalysis>(m, "end_analysis", recorder::end_analysis_sig);
}

void add_function(PyObject* m, PyMethodDef& def) {
    Ref name = glue::check(PyModule_GetNameObject(m));
    Ref function = glue::check(PyCFunction_NewEx(&def, m, name.get()));
    glue::add_object(m, def.ml_name, function.get());
}

void build_namespace(PyObject* m) {
    glue::register_module(m, module_once.full_name);
    bind_recorder();

    Ref numpy = glue::check(PyImport_ImportModule("numpy"));
    glue::add_object(m, "org_np", numpy.get());
    Ref recorder = glue::check(PyImport_ImportModule(recorder::module_name));
    glue::add_object(m, "quelmo", recorder.get());
    Ref datetime = glue::check(PyImport_ImportModule("datetime"));
    glue::add_object(m, "datetime", datetime.get());

    glue::add_object(m, "RETAIN_COST_WHEN_REBALANCE", Py_False);
    glue::add_object(m, "RESAMPLE", Py_None);
    state.stock_operations = glue::check(PyDict_New());

    add_function(m, get_stock_operations_def);
    add_function(m, normalize_weight_def);
    add_function(m, ioft_def);

    // The infinite defaults are whatever org_np.inf is now.
    Ref inf = glue::check(PyObject_GetAttrString(numpy.get(), "inf"));
    const double infinity = PyFloat_AsDouble(inf.get());
    if (infinity == -1.0 && PyErr_Occurred()) throw glue::ErrorSet{};
    set_backtest_infinity(infinity);
    add_tables(m, infinity);
    backtest_def.ml_doc = backtest_docstring();
    add_function(m, backtest_def);

    add_function(m, get_trade_stocks_def);
    add_function(m, get_transactions_def);
    add_function(m, prepare_native_def);
    run_native_def.ml_doc = run_native_docstring();
    add_function(m, run_native_def);
    add_function(m, excursions_def);
    add_function(m, stats_def);
    Ref test_dict = glue::check(PyDict_New());
    glue::add_object(m, "__test__", test_dict.get());
}

void initialise(PyObject* m) {
    if (glue::import_numpy() < 0) throw glue::ErrorSet{};
    if (!reset_run_lock_after_fork()) throw glue::ErrorSet{};
    state.module = m;
    glue::watch_namespace(PyModule_GetDict(m));
    try {
        build_namespace(m);
    } catch (...) {
        // The half-built module is released by the import machinery; forget it here too.
        state.module = nullptr;
        state.stock_operations = Ref();
        throw;
    }
}

PyModuleDef definition = glue::module_definition<module_once>("trevane", "Backtest engine.");

}  // namespace

}  // namespace zelvor::trevane

PyMODINIT_FUNC PyInit_trevane() { return PyModuleDef_Init(&zelvor::trevane::definition); }
