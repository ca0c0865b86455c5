// zelvor.core.quelmo: the process-wide trade-excursion recorder. The engine drives it through five
// native functions published in `__pyx_capi__`; every closed (or still open) trade adds a record, a
// size and a statistics array to the module lists `trades`, `trade_positions` and `quelmo`.
#define ZELVOR_IMPORT_NUMPY
#include "pyglue/module.hpp"

#include <climits>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <utility>

#include "core/excursion.hpp"
#include "pyglue/buffer.hpp"
#include "pyglue/capsule.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/numpy.hpp"
#include "quelmo/recorder_api.hpp"

namespace zelvor::quelmo {

namespace glue = zelvor::glue;
using glue::check;
using glue::check_status;
using glue::Ref;

namespace {

void initialise(PyObject* m);
glue::ModuleOnce module_once{"quelmo", "zelvor.core.quelmo", initialise};

// Recorder state. The array references are owned but deliberately never released: they live as
// long as the process, and releasing them from a static destructor would run after the interpreter
// has gone.
PyArrayObject* price = nullptr;  // trading prices [price row, price column]
PyArrayObject* close = nullptr;  // closes, same layout
std::map<int, int> pos2price;    // position column -> price column
int window = 0;
int window_step = 0;
int date = 0;                                // the price row being simulated
PyArrayObject* entry = nullptr;              // per position column: entry row of the current trade
PyArrayObject* position = nullptr;           // per position column: size of the current trade
PyArrayObject* entry_trasnaction = nullptr;  // per position column: 1 when the entry paid the fee
double fee_ratio = 0.0;
double tax_ratio = 0.0;

excursion::Analyzer analyzer;  // its tracks are reused by every trade

// The module namespace, where the result lists are looked up at every call, and interned names.
PyObject* globals = nullptr;
struct Names {
    PyObject* trades;
    PyObject* trade_positions;
    PyObject* quelmo;
    PyObject* org_np;
    PyObject* zeros;
    PyObject* dtype;
    PyObject* append;
    PyObject* clear;
};
Names names{};

void intern_names() {
    auto intern = [](PyObject*& slot, const char* text) {
        if (slot == nullptr) slot = check(PyUnicode_InternFromString(text)).release();
    };
    intern(names.trades, "trades");
    intern(names.trade_positions, "trade_positions");
    intern(names.quelmo, "quelmo");
    intern(names.org_np, "org_np");
    intern(names.zeros, "zeros");
    intern(names.dtype, "dtype");
    intern(names.append, "append");
    intern(names.clear, "clear");
}

// A module-level name, as the module's own code sees it: the namespace first, then the built-ins.
Ref global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr) {
        glue::check_pending();
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (value == nullptr) {
            glue::check_pending();
            glue::raise_format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return Ref::borrow(value);
}

// A list's own append; any other object's `append` method.
void append(PyObject* target, PyObject* value) {
    if (PyList_CheckExact(target)) {
        check_status(PyList_Append(target, value));
    } else {
        check(PyObject_CallMethodOneArg(target, names.append, value));
    }
}

void replace(PyArrayObject*& slot, Ref value) {
    PyArrayObject* old = slot;
    slot = reinterpret_cast<PyArrayObject*>(value.release());
    Py_XDECREF(old);
}

// Only arrays may be held where the recorder keeps an array reference.
void require_array(PyObject* obj) {
    if (!PyArray_Check(obj)) {
        glue::raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name,
                           PyArray_Type.tp_name);
    }
}

// org_np.zeros(shape, dtype=dtype), which must give an array.
Ref zeros(PyObject* shape, PyObject* dtype) {
    Ref np = global(names.org_np);
    Ref function = check(PyObject_GetAttr(np.get(), names.zeros));
    Ref args = check(PyTuple_Pack(1, shape));
    Ref kwargs = check(PyDict_New());
    check_status(PyDict_SetItem(kwargs.get(), names.dtype, dtype));
    Ref result = check(PyObject_Call(function.get(), args.get(), kwargs.get()));
    require_array(result.get());
    return result;
}

Ref zeros(int n, PyTypeObject* dtype) {
    Ref shape = check(PyLong_FromLong(n));
    return zeros(shape.get(), reinterpret_cast<PyObject*>(dtype));
}

// --- Element access on the per-column arrays, with the host's indexing rules ----------------------

enum class Kind { integer, real };

// Whether element access may bypass the host: one dimension, native and aligned, and the element
// type the recorder created the array with. Anything else goes through the array's own indexing.
bool direct(PyArrayObject* a, Kind kind, bool for_write) {
    if (PyArray_NDIM(a) != 1 || !PyArray_ISALIGNED(a) || !PyArray_ISNOTSWAPPED(a)) return false;
    if (for_write && !PyArray_ISWRITEABLE(a)) return false;
    if (kind == Kind::integer) return PyArray_ISSIGNED(a) && PyArray_ITEMSIZE(a) == sizeof(std::int64_t);
    return PyArray_TYPE(a) == NPY_DOUBLE;
}

// Address of element `index` (negative counts from the end), or NumPy's IndexError.
char* element(PyArrayObject* a, Py_ssize_t index) {
    const npy_intp size = PyArray_DIM(a, 0);
    const npy_intp i = index < 0 ? index + size : index;
    if (i < 0 || i >= size) {
        glue::raise_format(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd", index, 0,
                           static_cast<Py_ssize_t>(size));
    }
    return PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0);
}

Ref host_item(PyArrayObject* a, int index) {
    Ref key = check(PyLong_FromLong(index));
    return check(PyObject_GetItem(reinterpret_cast<PyObject*>(a), key.get()));
}

void host_set_item(PyArrayObject* a, int index, Ref value) {
    Ref key = check(PyLong_FromLong(index));
    check_status(PyObject_SetItem(reinterpret_cast<PyObject*>(a), key.get(), value.get()));
}

// a[index] as the array's own scalar (an integer or float64 NumPy scalar).
Ref item(PyArrayObject* a, int index, Kind kind) {
    if (!direct(a, kind, false)) return host_item(a, index);
    return check(PyArray_Scalar(element(a, index), PyArray_DESCR(a), reinterpret_cast<PyObject*>(a)));
}

int to_c_int(long long value) {
    if (value < INT_MIN || value > INT_MAX) glue::raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int>(value);
}

int to_c_int(PyObject* obj) {
    Ref number;
    if (!PyLong_Check(obj)) {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) glue::raise(PyExc_TypeError, "an integer is required");
        number = check(nb->nb_int(obj));
        if (!PyLong_Check(number.get())) glue::raise(PyExc_TypeError, "an integer is required");
        obj = number.get();
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) throw glue::ErrorSet{};
    if (overflow != 0) glue::raise(PyExc_OverflowError, "value too large to convert to int");
    return to_c_int(value);
}

// int(a[index]) for the integer arrays.
int int_item(PyArrayObject* a, int index) {
    if (direct(a, Kind::integer, false)) return to_c_int(*reinterpret_cast<const std::int64_t*>(element(a, index)));
    return to_c_int(host_item(a, index).get());
}

// The truth of a[index] > 0 for the size array.
bool is_positive(PyArrayObject* a, int index) {
    if (direct(a, Kind::real, false)) return *reinterpret_cast<const double*>(element(a, index)) > 0;
    Ref value = host_item(a, index);
    Ref zero = check(PyLong_FromLong(0));
    Ref greater = check(PyObject_RichCompare(value.get(), zero.get(), Py_GT));
    return check_status(PyObject_IsTrue(greater.get())) != 0;
}

void set_int_item(PyArrayObject* a, int index, int value) {
    if (direct(a, Kind::integer, true)) {
        *reinterpret_cast<std::int64_t*>(element(a, index)) = value;
        return;
    }
    host_set_item(a, index, check(PyLong_FromLong(value)));
}

void set_real_item(PyArrayObject* a, int index, double value) {
    if (direct(a, Kind::real, true)) {
        *reinterpret_cast<double*>(element(a, index)) = value;
        return;
    }
    host_set_item(a, index, check(PyFloat_FromDouble(value)));
}

// --- Statistics -----------------------------------------------------------------------------------

// A price matrix as a strided view. The recorder holds the caller's arrays, which Python code could
// still reshape or retype between calls, so their layout is looked at afresh each time.
numeric::Strided2D matrix(PyArrayObject* a, glue::Buffer& fallback) {
    if (PyArray_NDIM(a) == 2 && PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a)) {
        return {PyArray_BYTES(a), PyArray_DIM(a, 0), PyArray_DIM(a, 1), PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1)};
    }
    fallback = glue::Buffer::acquire(reinterpret_cast<PyObject*>(a), 2, glue::float64_element);
    return fallback.matrix();
}

// The statistics array of one trade; a new reference, or nullptr with the error set.
PyObject* quelmo_analysis(int sid, int entry_row, int exit_row, bool is_long, int entry_transaction,
                          int exit_transaction) {
    return glue::guarded<PyObject*>("zelvor.core.quelmo.quelmo_analysis", nullptr, [&]() -> PyObject* {
        const excursion::Trade trade{pos2price[sid], entry_row, exit_row, is_long, entry_transaction, exit_transaction};
        const excursion::Settings settings{window, window_step, fee_ratio, tax_ratio};
        glue::Buffer price_buffer;
        glue::Buffer close_buffer;
        const numeric::Strided2D price_view = matrix(price, price_buffer);
        const numeric::Strided2D close_view = matrix(close, close_buffer);
        analyzer.follow(price_view, close_view, trade, settings);

        npy_intp length = excursion::Analyzer::result_length(settings);
        Ref stats = check(PyArray_SimpleNew(1, &length, NPY_DOUBLE));  // refuses a negative length
        auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(stats.get())));
        analyzer.write({data, static_cast<std::size_t>(length)}, trade, settings);
        return stats.release();
    });
}

// Appends one trade to the three lists: its record [sid, entry row, `recorded_exit`], its size and
// its statistics up to the current row. Each list is looked up by name before its element is made.
void record_trade(int sid, long recorded_exit, int exit_transaction) {
    {
        Ref trades = global(names.trades);
        Ref column = check(PyLong_FromLong(sid));
        Ref entry_row = item(entry, sid, Kind::integer);
        Ref exit_row = check(PyLong_FromLong(recorded_exit));
        Ref record = check(PyList_New(3));
        PyList_SET_ITEM(record.get(), 0, column.release());
        PyList_SET_ITEM(record.get(), 1, entry_row.release());
        PyList_SET_ITEM(record.get(), 2, exit_row.release());
        append(trades.get(), record.get());
    }
    {
        Ref trade_positions = global(names.trade_positions);
        append(trade_positions.get(), item(position, sid, Kind::real).get());
    }
    Ref statistics = global(names.quelmo);
    const int entry_row = int_item(entry, sid);
    const bool is_long = is_positive(position, sid);
    const int entry_transaction = int_item(entry_trasnaction, sid);
    Ref stats = Ref::steal(quelmo_analysis(sid, entry_row, date, is_long, entry_transaction, exit_transaction));
    if (!stats) throw glue::ErrorSet{};
    append(statistics.get(), stats.get());
}

// --- The published entry points -------------------------------------------------------------------

void check_price_array(PyArrayObject* a) {
    if (a == nullptr) glue::raise(PyExc_TypeError, "start_analysis() needs price arrays, got NULL");
    auto* obj = reinterpret_cast<PyObject*>(a);
    glue::Buffer::acquire(obj, 2, glue::float64_element);  // the checks only; released at once
    require_array(obj);
}

void start_analysis(PyArrayObject* price_values, PyArrayObject* close_values, std::map<int, int> columns, int n,
                    double fee, double tax, int window_rows, int step) {
    glue::guarded<int>("zelvor.core.quelmo.start_analysis", 0, [&] {
        check_price_array(price_values);
        check_price_array(close_values);
        replace(price, Ref::borrow(reinterpret_cast<PyObject*>(price_values)));
        replace(close, Ref::borrow(reinterpret_cast<PyObject*>(close_values)));
        pos2price = std::move(columns);
        window = window_rows;
        window_step = step;
        // Emptied in place, so references to the lists taken after an earlier run see them empty.
        for (PyObject* name : {names.trades, names.trade_positions, names.quelmo}) {
            Ref list = global(name);
            check(PyObject_CallMethodNoArgs(list.get(), names.clear));
        }
        replace(entry, zeros(n, &PyLong_Type));
        replace(position, zeros(n, &PyFloat_Type));
        replace(entry_trasnaction, zeros(n, &PyLong_Type));
        fee_ratio = fee;
        tax_ratio = tax;
        return 0;
    });
}

void record_date(int row) { date = row; }

void record_entry(int sid, double size, int transaction) {
    glue::guarded<int>("zelvor.core.quelmo.record_entry", 0, [&] {
        set_int_item(entry, sid, date);
        set_real_item(position, sid, size);
        set_int_item(entry_trasnaction, sid, transaction);
        return 0;
    });
}

void record_exit(int sid, int transaction) {
    glue::guarded<int>("zelvor.core.quelmo.record_exit", 0, [&] {
        record_trade(sid, date, transaction);
        return 0;
    });
}

PyObject* end_analysis(std::map<int, double>& positions) {
    return glue::guarded<PyObject*>("zelvor.core.quelmo.end_analysis", nullptr, [&]() -> PyObject* {
        for (const auto& [sid, value] : positions) {
            if (value == 0.0) continue;  // NaN is an open trade
            record_trade(sid, -1, 0);
        }
        return Py_NewRef(Py_None);
    });
}

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

// --- Module initialisation -----------------------------------------------------------------------

void publish_table(PyObject* m) {
    Ref capi = check(PyDict_New());
    glue::publish_entry(capi.get(), "entry", &entry, recorder::array_variable_sig);
    glue::publish_entry(capi.get(), "position", &position, recorder::array_variable_sig);
    glue::publish_entry(capi.get(), "start_analysis", address_of(start_analysis_entry), recorder::start_analysis_sig);
    glue::publish_entry(capi.get(), "record_date", address_of(record_date_entry), recorder::record_date_sig);
    glue::publish_entry(capi.get(), "record_entry", address_of(record_entry_entry), recorder::record_entry_sig);
    glue::publish_entry(capi.get(), "record_exit", address_of(record_exit_entry), recorder::record_exit_sig);
    glue::publish_entry(capi.get(), "end_analysis", address_of(end_analysis_entry), recorder::end_analysis_sig);
    glue::add_object(m, "__pyx_capi__", capi.get());
}

void initialise(PyObject* m) {
    if (glue::import_numpy() < 0) throw glue::ErrorSet{};
    PyObject* old_globals = globals;
    globals = Py_NewRef(PyModule_GetDict(m));
    Py_XDECREF(old_globals);
    intern_names();
    glue::register_module(m, module_once.full_name);
    publish_table(m);

    Ref numpy = check(PyImport_ImportModule("numpy"));
    glue::add_object(m, "org_np", numpy.get());

    Ref empty_shape = check(Py_BuildValue("(ii)", 0, 0));
    replace(price, zeros(empty_shape.get(), reinterpret_cast<PyObject*>(&PyFloat_Type)));
    replace(close, zeros(empty_shape.get(), reinterpret_cast<PyObject*>(&PyFloat_Type)));

    for (PyObject* name : {names.trades, names.trade_positions, names.quelmo}) {
        Ref list = check(PyList_New(0));
        check_status(PyDict_SetItem(globals, name, list.get()));
    }

    replace(entry, zeros(0, &PyLong_Type));
    replace(entry_trasnaction, zeros(0, &PyLong_Type));
    replace(position, zeros(0, &PyFloat_Type));
    fee_ratio = 0.0;
    tax_ratio = 0.0;

    Ref test_dict = check(PyDict_New());
    glue::add_object(m, "__test__", test_dict.get());
}

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "quelmo",
    "Trade-excursion recorder of the backtest engine.",
    0,
    nullptr,
    glue::module_slots<module_once>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zelvor::quelmo

PyMODINIT_FUNC PyInit_quelmo() { return PyModuleDef_Init(&zelvor::quelmo::definition); }
