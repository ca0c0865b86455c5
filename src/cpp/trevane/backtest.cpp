// backtest_: argument binding and conversion, buffer checks, the run's setup, and the Host through
// which the numeric core reaches the recorder, the module flags and the caller's objects.
#include <array>
#include <cmath>
#include <limits>

#include "pyglue/args.hpp"
#include "pyglue/buffer.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/objects.hpp"
#include "trevane/columns.hpp"
#include "trevane/module_state.hpp"

namespace zelvor::trevane {

namespace {

using glue::Ref;

double default_infinity = std::numeric_limits<double>::infinity();

enum Param {
    p_price_values,
    p_close_values,
    p_high_values,
    p_low_values,
    p_open_values,
    p_price_index,
    p_price_columns,
    p_pos_values,
    p_pos_index,
    p_pos_columns,
    p_resample,
    p_fee_ratio,
    p_tax_ratio,
    p_stop_loss,
    p_take_profit,
    p_trail_stop,
    p_trail_stop_activation,
    p_touched_exit,
    p_position_limit,
    p_retain_cost_when_rebalance,
    p_stop_trading_next_period,
    p_quelmo_window,
    p_quelmo_window_step,
    p_periodically_rebalance,
    p_delisting_bars,
    n_params
};

constexpr std::array<const char*, n_params> param_names{
    "price_values",
    "close_values",
    "high_values",
    "low_values",
    "open_values",
    "price_index",
    "price_columns",
    "pos_values",
    "pos_index",
    "pos_columns",
    "resample",
    "fee_ratio",
    "tax_ratio",
    "stop_loss",
    "take_profit",
    "trail_stop",
    "trail_stop_activation",
    "touched_exit",
    "position_limit",
    "retain_cost_when_rebalance",
    "stop_trading_next_period",
    "quelmo_window",
    "quelmo_window_step",
    "periodically_rebalance",
    "delisting_bars",
};
constexpr glue::Signature signature{"backtest_", param_names, 11};

// The eleven arrays: dimensions and element type, in parameter order.
struct ArraySpec {
    int ndim;
    const glue::ElementType* element;
};
constexpr std::array<ArraySpec, 11> array_specs{{
    {2, &glue::float64_element},
    {2, &glue::float64_element},
    {2, &glue::float64_element},
    {2, &glue::float64_element},
    {2, &glue::float64_element},
    {1, &glue::int64_element},
    {1, &glue::label_element},
    {2, &glue::float64_element},
    {1, &glue::int64_element},
    {1, &glue::label_element},
    {1, &glue::int64_element},
}};

double to_double(PyObject* obj, double fallback) {
    if (obj == nullptr) return fallback;
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw glue::ErrorSet{};
    return value;
}

bool to_bool(PyObject* obj, bool fallback) { return obj == nullptr ? fallback : glue::truth(obj); }

int to_int32(PyObject* obj, int fallback) { return obj == nullptr ? fallback : glue::to_int32(obj); }

constinit glue::Name retain_cost_flag_name{"RETAIN_COST_WHEN_REBALANCE"};
constinit glue::Name resample_flag_name{"RESAMPLE"};
constinit glue::Name numpy_name{"org_np"};
constinit glue::Name abs_name{"abs"};
constinit glue::Name sum_name{"sum"};

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
    RunHost(PyObject* pos_values, const LabelArray& labels, PyObject* stop_trading_next_period)
        : pos_values_(pos_values), labels_(labels), stop_trading_next_period_(stop_trading_next_period) {}

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
        Ref result = glue::check(recorder_entries.end_analysis(positions));
    }
    bool retain_cost_flag() override { return glue::truth(namespace_lookup(retain_cost_flag_name).get()); }
    bool resample_flag() override { return glue::truth(namespace_lookup(resample_flag_name).get()); }
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
        Ref absolute = glue::check(PyObject_CallMethodOneArg(numpy.get(), abs_name.get(), weights.get()));
        Ref total = glue::check(PyObject_CallMethodNoArgs(absolute.get(), sum_name.get()));
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
    [[noreturn]] void fail(engine::Frame frame) override {
        glue::record_failure(frame_name(frame));
        throw glue::ErrorSet{};
    }

private:
    PyObject* pos_values_;
    LabelArray labels_;
    PyObject* stop_trading_next_period_;
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
        std::array<PyObject*, n_params> arg{};
        glue::bind_arguments(signature, args, nargsf, kwnames, arg.data());

        engine::Options options;
        options.fee_ratio = to_double(arg[p_fee_ratio], 0.001425);
        options.tax_ratio = to_double(arg[p_tax_ratio], 0.003);
        options.stop_loss = to_double(arg[p_stop_loss], 1.0);
        options.take_profit = to_double(arg[p_take_profit], default_infinity);
        options.trail_stop = to_double(arg[p_trail_stop], default_infinity);
        options.trail_stop_activation = to_double(arg[p_trail_stop_activation], 0.0);
        options.touched_exit = to_bool(arg[p_touched_exit], false);
        options.position_limit = to_double(arg[p_position_limit], 1.0);
        options.retain_cost_when_rebalance = to_bool(arg[p_retain_cost_when_rebalance], false);
        PyObject* stop_trading_next_period =
            arg[p_stop_trading_next_period] ? arg[p_stop_trading_next_period] : Py_True;
        const int window = to_int32(arg[p_quelmo_window], 0);
        const int window_step = to_int32(arg[p_quelmo_window_step], 1);
        const bool periodically_rebalance = to_bool(arg[p_periodically_rebalance], true);
        PyObject* delisting_arg = arg[p_delisting_bars] ? arg[p_delisting_bars] : Py_None;
        glue::Buffer delisting;
        if (delisting_arg != Py_None) delisting = glue::Buffer::acquire(delisting_arg, 1, glue::const_int64_element);

        // A missing array is refused before anything changes.
        for (int i = 0; i < 11; ++i) {
            glue::check_not_none(arg[i], param_names[i]);
            glue::check_arg_type(arg[i], &PyArray_Type, param_names[i]);
        }
        std::array<glue::Buffer, 11> buffers;
        for (int i = 0; i < 11; ++i)
            buffers[i] = glue::Buffer::acquire(arg[i], array_specs[i].ndim, *array_specs[i].element);

        engine::Market market;
        market.price = buffers[p_price_values].matrix();
        market.close = buffers[p_close_values].matrix();
        market.high = buffers[p_high_values].matrix();
        market.low = buffers[p_low_values].matrix();
        market.open = buffers[p_open_values].matrix();
        market.price_index = buffers[p_price_index].vector<std::int64_t>();
        market.pos_values = buffers[p_pos_values].matrix();
        market.pos_index = buffers[p_pos_index].vector<std::int64_t>();
        market.resample = buffers[p_resample].vector<std::int64_t>();
        const auto price_labels = buffers[p_price_columns].vector<PyObject*>();
        const auto pos_labels = buffers[p_pos_columns].vector<PyObject*>();
        const LabelArray price_columns{price_labels.data, price_labels.size, price_labels.stride};
        const LabelArray pos_columns{pos_labels.data, pos_labels.size, pos_labels.stride};
        market.n_labels = pos_columns.size;
        market.has_delisting_bars = delisting.acquired();
        if (delisting.acquired()) market.delisting_bars = delisting.vector<std::int64_t>();

        // Setup: the flags first, then the column map, the per-run arrays and the recorder.
        set_flag("RETAIN_COST_WHEN_REBALANCE", options.retain_cost_when_rebalance);
        set_flag("RESAMPLE", periodically_rebalance);
        const engine::ColumnMap columns = map_columns(price_columns, pos_columns);

        npy_intp n_rows = static_cast<npy_intp>(market.price_index.size);
        Ref portfolio_value = glue::check(PyArray_EMPTY(1, &n_rows, NPY_DOUBLE, 0));
        require_first_row(market.pos_values);
        require_first_row(market.price);

        recorder_entries.start_analysis(reinterpret_cast<PyArrayObject*>(arg[p_price_values]),
                                        reinterpret_cast<PyArrayObject*>(arg[p_close_values]), columns,
                                        static_cast<int>(pos_columns.size), options.fee_ratio, options.tax_ratio,
                                        window, window_step);
        glue::check_pending();

        const GcPause gc_pause;
        RunHost host(arg[p_pos_values], pos_columns, stop_trading_next_period);
        auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(portfolio_value.get())));
        const engine::RunOutcome outcome = engine::run_backtest(market, options, columns, host, values);

        ReportInputs report{arg[p_pos_values], market.pos_values, market.pos_index, options.position_limit,
                            stop_trading_next_period};
        build_report(outcome, report);
        return portfolio_value.release();
    });
}

}  // namespace

void set_backtest_infinity(double infinity) { default_infinity = infinity; }

PyMethodDef backtest_def = {
    "backtest_",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(backtest)),
    METH_FASTCALL | METH_KEYWORDS,
    "backtest_($module, /, price_values, close_values, high_values, low_values, open_values, price_index, "
    "price_columns, pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003, "
    "stop_loss=1.0, take_profit=org_np.inf, trail_stop=org_np.inf, trail_stop_activation=0.0, touched_exit=False, "
    "position_limit=1.0, retain_cost_when_rebalance=False, stop_trading_next_period=True, quelmo_window=0, "
    "quelmo_window_step=1, periodically_rebalance=True, delisting_bars=None)\n--\n\n"
    "Simulate a portfolio day by day and return its value at the close of every price row.\n\n"
    "Trades, their excursion statistics and the next-period report stay in module state: read them\n"
    "with get_trade_stocks(), get_stock_operations() and zelvor.core.quelmo.quelmo.",
};

}  // namespace zelvor::trevane
