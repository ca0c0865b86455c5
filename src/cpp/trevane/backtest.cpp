// backtest_: argument binding and conversion, buffer checks, the run's setup, and the Host through
// which the numeric core reaches the recorder, the module flags and the caller's objects.
#include <array>
#include <cmath>
#include <limits>
#include <map>

#include "pyglue/args.hpp"
#include "pyglue/buffer.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "pyglue/objects.hpp"
#include "trevane/columns.hpp"
#include "trevane/engine_inputs.hpp"
#include "trevane/module_state.hpp"
#include "trevane/parameters.hpp"
#include "trevane/run_lock.hpp"

namespace zelvor::trevane {

namespace {

using glue::Ref;

namespace params = backtest_parameters;
using params::index_of;
using params::Kind;

// The infinite defaults: org_np.inf as it was when the module was initialised.
double default_infinity = params::inf;

double to_double(PyObject* obj, double fallback) {
    if (obj == nullptr) return fallback;
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw glue::ErrorSet{};
    return value;
}

bool to_bool(PyObject* obj, bool fallback) { return obj == nullptr ? fallback : glue::truth(obj); }

int to_int32(PyObject* obj, int fallback) { return obj == nullptr ? fallback : glue::to_int32(obj); }

// One argument of backtest_ after conversion; the field its kind uses is set.
struct Value {
    double real = 0.0;
    bool truth = false;
    int int32 = 0;
    PyObject* object = nullptr;  // borrowed: the object itself (object kind)
    glue::Buffer buffer;         // array and optional_buffer kinds
};
using Values = std::array<Value, params::count>;

// Converts the bound arguments (nullptr: not given) in parameter order: the scalars first, then the
// arrays, each type-checked before any buffer is requested, so a missing array is refused before
// anything changes.
void convert(const std::array<PyObject*, params::count>& arg, Values& values) {
    for (std::size_t i = 0; i < params::count; ++i) {
        const params::Parameter& p = params::table[i];
        Value& v = values[i];
        const double fallback = std::isinf(p.default_value) ? default_infinity : p.default_value;
        switch (p.kind) {
            case Kind::real:
                v.real = to_double(arg[i], fallback);
                break;
            case Kind::truth:
                v.truth = to_bool(arg[i], fallback != 0.0);
                break;
            case Kind::int32:
                v.int32 = to_int32(arg[i], static_cast<int>(fallback));
                break;
            case Kind::object:
                v.object = arg[i] ? arg[i] : fallback != 0.0 ? Py_True : Py_False;
                break;
            case Kind::optional_buffer:
                if (arg[i] != nullptr && arg[i] != Py_None)
                    v.buffer = glue::Buffer::acquire(arg[i], p.ndim, *p.element);
                break;
            case Kind::array:
                break;
        }
    }
    for (std::size_t i = 0; i < params::n_arrays; ++i) {
        glue::check_not_none(arg[i], params::table[i].name);
        glue::check_arg_type(arg[i], &PyArray_Type, params::table[i].name);
    }
    for (std::size_t i = 0; i < params::n_arrays; ++i) {
        values[i].buffer = glue::Buffer::acquire(arg[i], params::table[i].ndim, *params::table[i].element);
    }
}

constinit glue::Name retain_cost_flag_name{"RETAIN_COST_WHEN_REBALANCE"};
constinit glue::Name resample_flag_name{"RESAMPLE"};
// Read at every trade of a held stock; remembered while the namespace is unchanged.
constinit glue::GlobalSlot retain_cost_flag_slot{retain_cost_flag_name};
constinit glue::GlobalSlot resample_flag_slot{resample_flag_name};
constinit glue::Name numpy_name{"org_np"};
constinit glue::Name fill_log_name{"_fill_log"};

// Whether the run keeps its fill log: yes, unless the module's private `_fill_log` is set false
// (benchmarks/bench_layer.py does so to measure what the log costs).
bool fill_log_wanted() {
    PyObject* flag = PyDict_GetItemWithError(module_dict(), fill_log_name.get());  // borrowed
    if (flag == nullptr) {
        glue::check_pending();
        return true;
    }
    return glue::truth(flag);
}

const char* frame_name(engine::Frame frame) {
    switch (frame) {
        case engine::Frame::set_position:
            return "zelvor.core.trevane.set_position";
        case engine::Frame::rebalance:
            return "zelvor.core.trevane.rebalance";
        case engine::Frame::validate_trade_price:
            return "zelvor.core.trevane.validate_trade_price";
    }
    return "zelvor.core.trevane";
}

// The engine's view of the interpreter for one run.
class RunHost final : public engine::Host {
public:
    RunHost(PyObject* pos_values, const LabelArray& labels, PyObject* stop_trading_next_period, bool keep_fill_log)
        : pos_values_(pos_values),
          labels_(labels),
          stop_trading_next_period_(stop_trading_next_period),
          keep_fill_log_(keep_fill_log) {}

    void record_date(int row) override {
        recorder_entries.record_date(row);
        glue::check_pending();
    }
    void record_entry(int sid, double size, int transaction) override {
        recorder_entries.record_entry(sid, size, transaction);
        glue::check_pending();
    }
    void record_exit(int sid, int transaction) override {
        recorder_entries.record_exit(sid, transaction);
        glue::check_pending();
    }
    void end_analysis(engine::PositionMap& positions) override {
        // The recorder's published entry point takes an ordered map; it only reads it.
        std::map<int, double> holdings;
        for (const auto& [sid, value] : positions) holdings.emplace_hint(holdings.end(), sid, value);
        Ref result = glue::check(recorder_entries.end_analysis(holdings));
    }
    bool retain_cost_flag() override { return glue::truth(retain_cost_flag_slot.get(module_dict()).get()); }
    bool resample_flag() override { return glue::truth(resample_flag_slot.get(module_dict()).get()); }
    bool stop_trading_next_period() override { return glue::truth(stop_trading_next_period_); }

    double gross_weight(const engine::TargetRow& row) override {
        Ref weights;
        if (row.copy != nullptr) {
            npy_intp length = static_cast<npy_intp>(row.copy->size());
            // A temporary array over the copy's memory, alive only for this call.
            weights =
                glue::check(PyArray_SimpleNewFromData(1, &length, NPY_DOUBLE, const_cast<double*>(row.copy->data())));
        } else {
            weights = glue::check(PySequence_GetItem(pos_values_, static_cast<Py_ssize_t>(row.pos_row)));
        }
        Ref numpy = namespace_lookup(numpy_name);
        // Called by name through PyObject_CallMethod on purpose: with the vectorcall form the interpreter
        // keeps other temporaries, the memory the recorder frees at the next run's start went back to
        // the system, and that run faulted it in again (workload D of benchmarks/bench_backtest.py).
        Ref absolute = glue::check(PyObject_CallMethod(numpy.get(), "abs", "O", weights.get()));
        Ref total = glue::check(PyObject_CallMethod(absolute.get(), "sum", nullptr));
        return to_double(total.get(), 0.0);
    }

    [[noreturn]] void invalid_trade_price(double price, int sid, int row) override {
        Ref label = glue::check(label_text(labels_[sid]));
        Ref price_text = glue::check(PyFloat_FromDouble(price));
        Ref price_repr = glue::check(PyObject_Repr(price_text.get()));
        glue::raise_format(PyExc_ValueError,
                           "Invalid trading price for %U at price row %d: %U. Expected a positive finite price; "
                           "check the trading-price dataset.",
                           label.get(), row, price_repr.get());
    }
    [[noreturn]] void missing_price_column(int sid) override {
        Ref label = glue::check(label_text(labels_[sid]));
        glue::raise_format(PyExc_ValueError, "No price column for stock %U: its label is not among the price columns.",
                           label.get());
    }
    engine::FillLog* fill_log() noexcept override { return keep_fill_log_ ? &state.fill_log : nullptr; }
    [[noreturn]] void fail(engine::Frame frame) override {
        glue::record_failure(frame_name(frame));
        throw glue::ErrorSet{};
    }

private:
    PyObject* pos_values_;
    LabelArray labels_;
    PyObject* stop_trading_next_period_;
    bool keep_fill_log_;
};

// Pauses the cyclic garbage collector for the length of a run. A run creates a few objects per
// trade (the recorder's records, sizes and statistics arrays) and no reference cycles, so
// collections during it would only walk the growing trade lists again and again.
class GcPause {
public:
    GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

void set_flag(const char* name, bool value) {
    glue::check_status(PyDict_SetItemString(module_dict(), name, value ? Py_True : Py_False));
}

// NumPy's message for indexing the first row of an array that has none.
void require_first_row(const numeric::Strided2D& matrix) {
    if (matrix.rows == 0) glue::raise(PyExc_IndexError, "index 0 is out of bounds for axis 0 with size 0");
}

PyObject* backtest(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::guarded<PyObject*>("zelvor.core.trevane.backtest_", nullptr, [&]() -> PyObject* {
        std::array<PyObject*, params::count> arg{};
        glue::bind_arguments(params::signature, args, nargsf, kwnames, arg.data());
        Values converted;
        convert(arg, converted);
        auto value = [&](std::size_t index) -> const Value& { return converted[index]; };

        const engine::Options options = engine_options([&](std::size_t i) { return converted[i].real; },
                                                       [&](std::size_t i) { return converted[i].truth; });
        PyObject* const stop_trading_next_period = value(index_of("stop_trading_next_period")).object;
        const int window = value(index_of("quelmo_window")).int32;
        const int window_step = value(index_of("quelmo_window_step")).int32;
        const bool periodically_rebalance = value(index_of("periodically_rebalance")).truth;

        const engine::Market market =
            engine_market([&](std::size_t i) -> const glue::Buffer& { return converted[i].buffer; },
                          value(index_of("delisting_bars")).buffer);
        const auto price_labels = value(index_of("price_columns")).buffer.vector<PyObject*>();
        const auto pos_labels = value(index_of("pos_columns")).buffer.vector<PyObject*>();
        const LabelArray price_columns{price_labels.data, price_labels.size, price_labels.stride};
        const LabelArray pos_columns{pos_labels.data, pos_labels.size, pos_labels.stride};
        PyObject* const price_values = arg[index_of("price_values")];
        PyObject* const close_values = arg[index_of("close_values")];
        PyObject* const pos_values = arg[index_of("pos_values")];

        // From here to the end of the report the run uses process-wide state.
        const RunLock run_lock;

        // Setup: the flags first, then the column map, the per-run arrays and the recorder.
        set_flag("RETAIN_COST_WHEN_REBALANCE", options.retain_cost_when_rebalance);
        set_flag("RESAMPLE", periodically_rebalance);
        const engine::ColumnMap columns = map_columns(price_columns, pos_columns);

        npy_intp n_rows = static_cast<npy_intp>(market.price_index.size);
        Ref portfolio_value = glue::check(PyArray_EMPTY(1, &n_rows, NPY_DOUBLE, 0));
        require_first_row(market.pos_values);
        require_first_row(market.price);

        recorder_entries.start_analysis(
            reinterpret_cast<PyArrayObject*>(price_values), reinterpret_cast<PyArrayObject*>(close_values), columns,
            static_cast<int>(pos_columns.size), options.fee_ratio, options.tax_ratio, window, window_step);
        glue::check_pending();

        const bool keep_fill_log = fill_log_wanted();
        if (!keep_fill_log) state.fill_log.start(0, market.price);  // nothing left of an earlier run
        const GcPause gc_pause;
        RunHost host(pos_values, pos_columns, stop_trading_next_period, keep_fill_log);
        auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(portfolio_value.get())));
        const engine::RunOutcome outcome = engine::run_backtest(market, options, columns, host, values);

        ReportInputs report{pos_values, market.pos_values, market.pos_index, options.position_limit,
                            stop_trading_next_period};
        build_report(outcome, report);
        return portfolio_value.release();
    });
}

}  // namespace

void set_backtest_infinity(double infinity) { default_infinity = infinity; }

PyMethodDef backtest_def = glue::method("backtest_", backtest, nullptr);

const char* backtest_docstring() {
    static const std::string text = params::docstring();
    return text.c_str();
}

}  // namespace zelvor::trevane
