// _prepare_native and _run_native: the engine run by a host that needs no interpreter.
//
// _prepare_native checks and holds the arrays of a backtest, matches the labels and computes the
// gross weight of every weights row with the same NumPy call backtest_ makes, once. _run_native
// then runs the core on those inputs with the interpreter lock released: the excursion recorder is
// the core's own Analyzer writing into columnar buffers, the flags are plain values, and an error
// that needs a stock's label is raised after the run from what the run reported. The results are
// bit for bit those of backtest_ and its queries.
#include "trevane/native_run.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/engine.hpp"
#include "core/excursion.hpp"
#include "core/sums.hpp"
#include "pyglue/args.hpp"
#include "pyglue/buffer.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "pyglue/numpy.hpp"
#include "pyglue/objects.hpp"
#include "trevane/actions.hpp"
#include "trevane/columns.hpp"
#include "trevane/engine_inputs.hpp"
#include "trevane/followups.hpp"
#include "trevane/ledger_arrays.hpp"
#include "trevane/parameters.hpp"
#include "trevane/statistics.hpp"

namespace zelvor::trevane {

namespace {

using glue::Ref;

namespace params = backtest_parameters;

constexpr const char* capsule_name = "zelvor.core.trevane._native_inputs";
constexpr std::size_t n_arrays = params::n_arrays;  // the eleven arrays of backtest_, in its order

// The inputs of many runs: the caller's arrays (held), their buffers, the label match and the gross
// weight of each weights row. Read-only once made, so concurrent runs may share it.
struct NativeInputs {
    std::array<Ref, n_arrays> arrays;
    std::array<glue::Buffer, n_arrays> buffers;
    Ref delisting_object;
    glue::Buffer delisting;
    engine::Market market;
    engine::ColumnMap columns;
    LabelArray pos_labels;
    std::vector<double> gross_weight;  // per weights row
    // Per position column, the price column its trades' excursions are followed on: a stock without
    // a price column is analysed on column 0, as the recorder does.
    std::vector<int> analysis_column;
    engine::PriceColumns price_columns;  // the daily loop's table of `columns`
};

void destroy_inputs(PyObject* capsule) noexcept {
    delete static_cast<NativeInputs*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// ---- _prepare_native ----------------------------------------------------------------------------

constexpr std::array<const char*, n_arrays + 1> prepare_params = [] {
    std::array<const char*, n_arrays + 1> names{};
    for (std::size_t i = 0; i < n_arrays; ++i) names[i] = params::table[i].name;
    names[n_arrays] = "delisting_bars";
    return names;
}();
constexpr glue::Signature prepare_sig{"_prepare_native", prepare_params, static_cast<Py_ssize_t>(n_arrays)};

// org_np.abs(row).sum() for every row of pos_values, as backtest_'s rebalance asks for it.
std::vector<double> gross_weights(PyObject* pos_values, std::int64_t rows) {
    Ref numpy = glue::check(PyImport_ImportModule("numpy"));
    std::vector<double> sums(static_cast<std::size_t>(rows));
    for (std::int64_t r = 0; r < rows; ++r) {
        Ref row = glue::check(PySequence_GetItem(pos_values, static_cast<Py_ssize_t>(r)));
        Ref absolute = glue::check(PyObject_CallMethod(numpy.get(), "abs", "O", row.get()));
        Ref total = glue::check(PyObject_CallMethod(absolute.get(), "sum", nullptr));
        const double value = PyFloat_AsDouble(total.get());
        if (value == -1.0 && PyErr_Occurred()) throw glue::ErrorSet{};
        sums[static_cast<std::size_t>(r)] = value;
    }
    return sums;
}

PyObject* prepare_native(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::call_bound<n_arrays + 1>(
        "zelvor.core.trevane._prepare_native", prepare_sig, args, nargsf, kwnames,
        [&](const std::array<PyObject*, n_arrays + 1>& arg) -> PyObject* {
            auto inputs = std::make_unique<NativeInputs>();
            for (std::size_t i = 0; i < n_arrays; ++i) {
                glue::check_not_none(arg[i], params::table[i].name);
                glue::check_arg_type(arg[i], &PyArray_Type, params::table[i].name);
            }
            for (std::size_t i = 0; i < n_arrays; ++i) {
                inputs->buffers[i] = glue::Buffer::acquire(arg[i], params::table[i].ndim, *params::table[i].element);
                inputs->arrays[i] = Ref::borrow(arg[i]);
            }
            PyObject* const delisting = arg[n_arrays];
            if (delisting != nullptr && delisting != Py_None) {
                inputs->delisting = glue::Buffer::acquire(delisting, 1, glue::const_int64_element);
                inputs->delisting_object = Ref::borrow(delisting);
            }
            auto buffer = [&](std::size_t i) -> const glue::Buffer& { return inputs->buffers[i]; };
            inputs->market = engine_market(buffer, inputs->delisting);
            const engine::Market& m = inputs->market;
            const auto price_labels = buffer(params::index_of("price_columns")).vector<PyObject*>();
            const auto pos_labels = buffer(params::index_of("pos_columns")).vector<PyObject*>();
            inputs->pos_labels = {pos_labels.data, pos_labels.size, pos_labels.stride};

            // The end-of-run weights index pos_values by weights row and stock: the three must agree.
            if (m.pos_values.rows != m.pos_index.size || m.pos_values.cols != m.n_labels) {
                glue::raise_format(PyExc_ValueError,
                                   "pos_values has shape (%lld, %lld); expected (len(pos_index), len(pos_columns)) = "
                                   "(%lld, %lld)",
                                   static_cast<long long>(m.pos_values.rows), static_cast<long long>(m.pos_values.cols),
                                   static_cast<long long>(m.pos_index.size), static_cast<long long>(m.n_labels));
            }
            const LabelArray price_columns{price_labels.data, price_labels.size, price_labels.stride};
            inputs->columns = map_columns(price_columns, inputs->pos_labels);
            inputs->gross_weight = gross_weights(arg[params::index_of("pos_values")], m.pos_values.rows);
            inputs->price_columns = engine::make_price_columns(inputs->columns, m.pos_values.cols, m.n_labels);
            inputs->analysis_column.assign(static_cast<std::size_t>(m.n_labels), 0);
            for (const auto& [sid, pid] : inputs->columns) {
                if (sid >= 0 && sid < m.n_labels) inputs->analysis_column[static_cast<std::size_t>(sid)] = pid;
            }

            Ref capsule = glue::check(PyCapsule_New(inputs.get(), capsule_name, destroy_inputs));
            inputs.release();
            return capsule.release();
        });
}

// ---- the host -----------------------------------------------------------------------------------

// A run error that needs the stock's label; raised as a Python error after the run.
struct LabelNeeded {
    enum class Kind { invalid_price, missing_column } kind;
    double price;
    int sid;
    int row;
};

// Trade records and statistics, column by column, in the recorder's order.
struct Recorded {
    std::vector<std::int64_t> sid, entry_row, exit_row;
    std::vector<double> position;
    std::vector<double> stats;  // stats_length per trade
    std::int64_t stats_length = 0;
};

// What a run does with each trade the recorder lists.
enum class Excursions {
    follow,  // follow it at once and keep its record and statistics
    defer,   // keep only what following it later needs (Followups)
    none,    // nothing: a run for its statistics alone, which read the fill log
};

class NativeHost final : public engine::Host {
public:
    NativeHost(const NativeInputs& inputs, const excursion::Settings& settings, bool retain_cost, bool resample,
               bool stop_trading, Excursions excursions)
        : inputs_(inputs),
          settings_(settings),
          excursions_(excursions),
          retain_cost_(retain_cost),
          resample_(resample),
          stop_trading_(stop_trading),
          entry_(static_cast<std::size_t>(inputs.market.n_labels), 0),
          position_(static_cast<std::size_t>(inputs.market.n_labels), 0.0),
          entry_transaction_(static_cast<std::size_t>(inputs.market.n_labels), 0) {
        // The log keeps what the result hands out, in its widths: a run for its statistics only
        // what they read; a run whose result is kept for long (deferred excursions) compact rows.
        if (excursions == Excursions::none) {
            log_.keep(engine::IndexWidth::wide, engine::LogColumns::statistics);
        } else if (excursions == Excursions::defer) {
            log_.keep(engine::IndexWidth::compact, engine::LogColumns::all);
        }
    }

    void record_date(int row) override { date_ = row; }
    void record_entry(int sid, double size, int transaction) override {
        const std::size_t k = slot(sid);
        entry_[k] = date_;
        position_[k] = size;
        entry_transaction_[k] = transaction;
    }
    void record_exit(int sid, int transaction) override { record_trade(sid, date_, transaction); }
    void end_analysis(engine::PositionMap& positions) override {
        for (const auto& [sid, value] : positions) {
            if (value == 0.0) continue;  // NaN is an open trade
            record_trade(sid, -1, 0);
        }
    }
    bool retain_cost_flag() override { return retain_cost_; }
    bool resample_flag() override { return resample_; }
    bool stop_trading_next_period() override { return stop_trading_; }

    double gross_weight(const engine::TargetRow& row) override {
        if (row.copy == nullptr) {
            if (row.pos_row < 0 || row.pos_row >= static_cast<std::int64_t>(inputs_.gross_weight.size())) {
                throw numeric::out_of_bounds(0);
            }
            return inputs_.gross_weight[static_cast<std::size_t>(row.pos_row)];
        }
        absolute_.resize(row.copy->size());
        for (std::size_t k = 0; k < absolute_.size(); ++k) absolute_[k] = std::fabs((*row.copy)[k]);
        return numeric::reduce_sum(absolute_.data(), static_cast<std::int64_t>(absolute_.size()));
    }

    [[noreturn]] void invalid_trade_price(double price, int sid, int row) override {
        throw LabelNeeded{LabelNeeded::Kind::invalid_price, price, sid, row};
    }
    [[noreturn]] void missing_price_column(int sid) override {
        throw LabelNeeded{LabelNeeded::Kind::missing_column, 0.0, sid, 0};
    }
    [[noreturn]] void fail(engine::Frame) override { throw; }
    engine::FillLog* fill_log() noexcept override { return &log_; }

    const engine::FillLog& log() const noexcept { return log_; }
    engine::FillLog& log() noexcept { return log_; }
    Recorded& recorded() noexcept { return recorded_; }
    Followups& followups() noexcept { return followups_; }
    int last_row() const noexcept { return date_; }  // after the run: the exit row of the open trades

private:
    // The recorder's per-stock arrays have one element per label; a negative index counts from the end.
    std::size_t slot(int sid) const {
        const auto n = static_cast<std::int64_t>(entry_.size());
        const std::int64_t k = sid < 0 ? sid + n : sid;
        if (k < 0 || k >= n) throw numeric::Error{numeric::ErrorKind::index, "index out of bounds"};
        return static_cast<std::size_t>(k);
    }

    void record_trade(int sid, std::int64_t recorded_exit, int exit_transaction) {
        const std::size_t k = slot(sid);
        if (excursions_ == Excursions::none) return;
        const int pid = sid >= 0 && static_cast<std::size_t>(sid) < inputs_.analysis_column.size()
                            ? inputs_.analysis_column[static_cast<std::size_t>(sid)]
                            : 0;
        const excursion::Trade trade{pid, entry_[k], date_, position_[k] > 0, entry_transaction_[k], exit_transaction};
        if (excursions_ == Excursions::defer) {
            followups_.push(trade);
            return;
        }
        recorded_.sid.push_back(sid);
        recorded_.entry_row.push_back(entry_[k]);
        recorded_.exit_row.push_back(recorded_exit);
        recorded_.position.push_back(position_[k]);
        recorded_.stats_length =
            append_excursions(analyzer_, inputs_.market.price, inputs_.market.close, trade, settings_, recorded_.stats);
    }

    const NativeInputs& inputs_;
    const excursion::Settings settings_;
    const Excursions excursions_;
    const bool retain_cost_;
    const bool resample_;
    const bool stop_trading_;
    int date_ = 0;
    std::vector<int> entry_;
    std::vector<double> position_;
    std::vector<int> entry_transaction_;
    excursion::Analyzer analyzer_;
    std::vector<double> absolute_;
    engine::FillLog log_;
    Recorded recorded_;
    Followups followups_;
};

// ---- the end-of-run weights and actions, on doubles -----------------------------------------------

using enum action::Code;

struct Weights {
    std::vector<std::int64_t> sid;
    std::vector<double> value;

    void put(std::int64_t s, double w) {
        sid.push_back(s);
        value.push_back(w);
    }
    const double* find(std::int64_t s) const {
        for (std::size_t k = 0; k < sid.size(); ++k) {
            if (sid[k] == s) return &value[k];
        }
        return nullptr;
    }
    // Scaled down, never up, when `sum` exceeds 1.
    void scale_down(double sum) {
        if (sum > 1.0) {
            for (double& w : value) w = w / sum;
        }
    }
    // normalize_weight: scale the gross weight down to 1 (multiplying by its reciprocal), then clip
    // to +/-limit.
    void normalize(double limit) {
        double sum = 0.0;
        for (const double w : value) sum += std::fabs(w);
        if (sum > 1.0) {
            const double reciprocal = 1.0 / sum;
            for (double& w : value) w = w * reciprocal;
        }
        for (double& w : value) {
            if (w > limit) {
                w = limit;
            } else if (w < -limit) {
                w = -limit;
            }
        }
    }
};

struct Operations {
    Weights weights, next_weights;
    std::vector<std::int64_t> action_sid;
    std::vector<std::uint8_t> action;
    std::int64_t weight_time = -1;
    std::int64_t next_weight_time = 0;

    // A later action for the same stock replaces the earlier one in its place.
    void set_action(std::int64_t sid, action::Code code) {
        for (std::size_t k = 0; k < action_sid.size(); ++k) {
            if (action_sid[k] == sid) {
                action[k] = code;
                return;
            }
        }
        action_sid.push_back(sid);
        action.push_back(code);
    }
    bool has_action(std::int64_t sid) const {
        for (const std::int64_t s : action_sid) {
            if (s == sid) return true;
        }
        return false;
    }
};

bool names_stock(const std::vector<engine::StopEntry>& entries, std::int64_t sid) {
    for (const engine::StopEntry& e : entries) {
        if (e.sid == sid) return true;
    }
    return false;
}

// What build_report makes of a run's outcome, with the same operations in the same order.
Operations end_of_run(const engine::RunOutcome& out, const engine::Market& m, double position_limit,
                      bool stop_trading) {
    Operations ops;
    const numeric::Strided2D& pos = m.pos_values;

    double weight_sum = 0.0;
    for (const auto& [sid, value] : out.last_positions) {
        (void)value;
        const double w = pos.at(out.last_rebalanced_pos_id, sid);
        ops.weights.put(sid, out.positions.contains(sid) ? w : 0.0);
        weight_sum += std::fabs(w);
    }
    ops.weights.scale_down(weight_sum);

    // The next period repeats the last target when the current weights row has been traded.
    numeric::Strided1D<double> row;
    if (out.pos_id == out.last_rebalanced_pos_id && out.last_target_is_copy) {
        row = {reinterpret_cast<const char*>(out.last_target_copy.data()),
               static_cast<std::int64_t>(out.last_target_copy.size()), sizeof(double)};
    } else {
        const std::int64_t r = out.pos_id == out.last_rebalanced_pos_id ? out.last_target_pos_row : out.pos_id;
        if (!pos.row_in_range(r)) throw numeric::out_of_bounds(0);
        row = {pos.data + r * pos.row_stride, pos.cols, pos.col_stride};
    }
    double next_sum = 0.0;
    for (std::int64_t sid = 0; sid < row.size; ++sid) {
        const double w = row[sid];
        bool in_stop_list = false;
        bool in_due_list = false;
        if (stop_trading) {
            in_stop_list = names_stock(out.stop_exits, sid);
            if (!in_stop_list) in_due_list = names_stock(out.exits_due, sid);
        }
        bool stopped = in_stop_list;
        if (!stopped && in_due_list) {
            const auto held = out.positions.find(static_cast<int>(sid));
            stopped = held != out.positions.end() && held->second != 0.0;
        }
        if (!(out.rebalance_due && stopped)) next_sum += std::fabs(w);
        if (!in_stop_list && !in_due_list && w != 0.0) ops.next_weights.put(sid, w);
    }
    ops.weight_time = out.last_rebalanced_pos_id;
    ops.next_weight_time = out.pos_id;
    ops.next_weights.scale_down(next_sum);
    ops.weights.normalize(position_limit);
    ops.next_weights.normalize(position_limit);

    if (out.rebalance_due) {
        if (!pos.row_in_range(out.pos_id)) throw numeric::out_of_bounds(0);
        for (std::int64_t sid = 0; sid < pos.cols; ++sid) {
            const double w = pos(out.pos_id, sid);
            const auto held = out.positions.find(static_cast<int>(sid));
            const double p = held == out.positions.end() ? 0.0 : held->second;
            if (p == 0.0 && w != 0.0) {
                ops.set_action(sid, enter);
            } else if (p != 0.0 && w == 0.0) {
                ops.set_action(sid, exit);
            } else if (p != 0.0 && w != 0.0) {
                ops.set_action(sid, hold);
            }
        }
    }
    for (const engine::StopEntry& e : out.exits_due) {
        const bool take_profit = e.side == engine::StopSide::take_profit;
        if (stop_trading || out.last_date > m.pos_index.at(out.pos_id)) {
            ops.set_action(e.sid, take_profit ? tp : sl);
        } else if (const double* w = ops.next_weights.find(e.sid); w != nullptr && *w != 0.0) {
            ops.set_action(e.sid, take_profit ? tp_enter : sl_enter);
        }
    }
    for (const engine::StopEntry& e : out.stop_exits) {
        if (stop_trading || !ops.has_action(e.sid)) {
            ops.set_action(e.sid, e.side == engine::StopSide::take_profit ? tp_ : sl_);
        }
    }
    return ops;
}

// ---- _run_native --------------------------------------------------------------------------------

// The options of backtest_ after its arrays, but delisting_bars (prepared with the arrays).
constexpr std::size_t first_option = n_arrays;
constexpr std::size_t n_options = params::count - n_arrays - 1;
static_assert(params::table[params::count - 1].kind == params::Kind::optional_buffer);

// After the options: `stats`, the run's statistics computed in the run (see StatsRequest),
// `stats_only`, a run for its statistics alone, and `excursions`, false to leave the trades'
// excursions for _excursions to follow.
constexpr std::size_t n_run_params = n_options + 4;
constexpr std::size_t stats_param = n_options + 1;
constexpr std::size_t stats_only_param = n_options + 2;
constexpr std::size_t excursions_param = n_options + 3;
constexpr std::array<const char*, n_run_params> run_params = [] {
    std::array<const char*, n_run_params> names{};
    names[0] = "inputs";
    for (std::size_t i = 0; i < n_options; ++i) names[i + 1] = params::table[first_option + i].name;
    names[stats_param] = "stats";
    names[stats_only_param] = "stats_only";
    names[excursions_param] = "excursions";
    return names;
}();
constexpr glue::Signature run_sig{"_run_native", run_params, 1};

// The converted options, by backtest_'s parameter index.
struct RunOptions {
    std::array<double, params::count> real{};
    std::array<bool, params::count> truth{};
    std::array<int, params::count> int32{};
};

RunOptions convert_options(const std::array<PyObject*, n_run_params>& arg) {
    RunOptions o;
    for (std::size_t i = 0; i < n_options; ++i) {
        const std::size_t p = first_option + i;
        const params::Parameter& parameter = params::table[p];
        PyObject* const value = arg[i + 1];
        switch (parameter.kind) {
            case params::Kind::real:
                if (value == nullptr) {
                    o.real[p] = parameter.default_value;
                } else {
                    o.real[p] = PyFloat_AsDouble(value);
                    if (o.real[p] == -1.0 && PyErr_Occurred()) throw glue::ErrorSet{};
                }
                break;
            case params::Kind::truth:
            case params::Kind::object:
                o.truth[p] = value == nullptr ? parameter.default_value != 0.0 : glue::truth(value);
                break;
            case params::Kind::int32:
                o.int32[p] = value == nullptr ? static_cast<int>(parameter.default_value) : glue::to_int32(value);
                break;
            case params::Kind::array:
            case params::Kind::optional_buffer:
                break;
        }
    }
    return o;
}

template <class T>
Ref array_of(int type, const T* data, std::size_t n) {
    npy_intp length = static_cast<npy_intp>(n);
    Ref array = glue::check(PyArray_EMPTY(1, &length, type, 0));
    if (n > 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data, n * sizeof(T));
    return array;
}

Ref vector_array(std::vector<std::int64_t>&& values) {
    const npy_intp length = static_cast<npy_intp>(values.size());
    return adopt_int64s(std::move(values), 1, &length);
}

Ref vector_array(std::vector<double>&& values) {
    const npy_intp length = static_cast<npy_intp>(values.size());
    return adopt_doubles(std::move(values), 1, &length);
}

// The ledger's trades with the recorder's statistics of each trade, one row per trade: the window
// groups, then the exit.
Ref trades_dict(engine::FillLog& log, Recorded& recorded) {
    Ref d = take_trades_table(log.trades(), LedgerColumns::all);
    const npy_intp shape[2] = {static_cast<npy_intp>(recorded.sid.size()),
                               static_cast<npy_intp>(recorded.stats_length)};
    put(d.get(), "stats", adopt_doubles(std::move(recorded.stats), 2, shape));
    return d;
}

// Whether the ledger's listed trades, in order, imply the follow-up records: the same entry rows,
// the price column of the stock, and the ledger's exit row or, for a trade still open, the run's
// last row. So it is in every run but odd ones (a stock without a price column, a recorder entry
// replaced before its exit), and the result then need not keep the three columns.
bool implied_by_ledger(const Followups& f, const engine::TradeColumns& ledger, const std::vector<int>& analysis_column,
                       int last_row) {
    std::size_t k = 0;
    for (std::size_t j = 0; j < ledger.size(); ++j) {
        if (ledger.listed[j] == engine::Flag::no) continue;
        const std::int64_t sid = ledger.sid[j];
        if (k >= f.flags.size() || sid < 0 || static_cast<std::size_t>(sid) >= analysis_column.size()) return false;
        const std::int64_t exit_row = ledger.exit_row[j] >= 0 ? ledger.exit_row[j] : last_row;
        if (f.entry_row[k] != ledger.entry_row[j] || f.exit_row[k] != exit_row ||
            f.price_column[k] != analysis_column[static_cast<std::size_t>(sid)]) {
            return false;
        }
        ++k;
    }
    return k == f.flags.size();
}

// _excursions' arguments for the trades of a run that deferred them: the run's trading prices and
// closes, the follow-up records and the run's excursion settings. Where the ledger implies the
// records' rows and columns, only `implied_by` is kept in their place: the price column of each
// stock and the run's last row (see zelvor._engine).
Ref followups_dict(const NativeInputs& inputs, Followups& f, const engine::FillLog& log, int last_row,
                   const excursion::Settings& settings) {
    Ref d = glue::check(PyDict_New());
    put(d.get(), "price_values", inputs.arrays[params::index_of("price_values")]);
    put(d.get(), "close_values", inputs.arrays[params::index_of("close_values")]);
    const npy_intp n = static_cast<npy_intp>(f.flags.size());
    if (log.keeps_all() && implied_by_ledger(f, log.trades(), inputs.analysis_column, last_row)) {
        Ref implied = glue::check(PyDict_New());
        const auto& columns = inputs.analysis_column;
        put(implied.get(), "price_column", column<std::int32_t>(NPY_INT32, columns.size(), [&](std::size_t k) {
                return static_cast<std::int32_t>(columns[k]);
            }));
        put(implied.get(), "last_row", glue::new_int(last_row));
        put(d.get(), "implied_by", implied);
    } else {
        put(d.get(), "price_column", adopt_int32s(std::move(f.price_column), 1, &n));
        put(d.get(), "entry_row", adopt_int32s(std::move(f.entry_row), 1, &n));
        put(d.get(), "exit_row", adopt_int32s(std::move(f.exit_row), 1, &n));
    }
    put(d.get(), "flags", adopt_uint8s(std::move(f.flags), 1, &n));
    put(d.get(), "window", glue::new_int(settings.window));
    put(d.get(), "window_step", glue::new_int(settings.window_step));
    put(d.get(), "fee_ratio", glue::check(PyFloat_FromDouble(settings.fee_ratio)));
    put(d.get(), "tax_ratio", glue::check(PyFloat_FromDouble(settings.tax_ratio)));
    return d;
}

Ref recorded_dict(Recorded& r) {
    Ref d = glue::check(PyDict_New());
    put(d.get(), "sid", vector_array(std::move(r.sid)));
    put(d.get(), "entry_row", vector_array(std::move(r.entry_row)));
    put(d.get(), "exit_row", vector_array(std::move(r.exit_row)));
    put(d.get(), "position", vector_array(std::move(r.position)));
    return d;
}

// Stock indices as int64, or as int32 in a compact result.
Ref sid_array(const std::vector<std::int64_t>& sid, Widths widths) {
    if (widths == Widths::wide) return array_of(NPY_INT64, sid.data(), sid.size());
    return column<std::int32_t>(NPY_INT32, sid.size(),
                                [&](std::size_t k) { return static_cast<std::int32_t>(sid[k]); });
}

Ref operations_dict(const Operations& ops, Widths widths) {
    Ref d = glue::check(PyDict_New());
    put(d.get(), "weight_sid", sid_array(ops.weights.sid, widths));
    put(d.get(), "weight", array_of(NPY_DOUBLE, ops.weights.value.data(), ops.weights.value.size()));
    put(d.get(), "next_weight_sid", sid_array(ops.next_weights.sid, widths));
    put(d.get(), "next_weight", array_of(NPY_DOUBLE, ops.next_weights.value.data(), ops.next_weights.value.size()));
    put(d.get(), "action_sid", sid_array(ops.action_sid, widths));
    put(d.get(), "action", array_of(NPY_UINT8, ops.action.data(), ops.action.size()));
    put(d.get(), "weight_time", glue::new_int(ops.weight_time));
    put(d.get(), "next_weight_time", glue::new_int(ops.next_weight_time));
    return d;
}

// The Python error for a LabelNeeded, worded as backtest_ words it.
[[noreturn]] void raise_label_error(const LabelNeeded& e, const NativeInputs& inputs) {
    if (e.sid < 0 || e.sid >= inputs.pos_labels.size) throw numeric::out_of_bounds(0);
    Ref label = glue::check(label_text(inputs.pos_labels[e.sid]));
    if (e.kind == LabelNeeded::Kind::missing_column) {
        glue::raise_format(PyExc_ValueError, "No price column for stock %U: its label is not among the price columns.",
                           label.get());
    }
    Ref price = glue::check(PyFloat_FromDouble(e.price));
    Ref price_repr = glue::check(PyObject_Repr(price.get()));
    glue::raise_format(PyExc_ValueError,
                       "Invalid trading price for %U at price row %d: %U. Expected a positive finite price; "
                       "check the trading-price dataset.",
                       label.get(), e.row, price_repr.get());
}

// backtest_'s message for the first row of an array that has none.
void require_first_row(const numeric::Strided2D& matrix) {
    if (matrix.rows == 0) glue::raise(PyExc_IndexError, "index 0 is out of bounds for axis 0 with size 0");
}

PyObject* run_native(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::call_bound<n_run_params>(
        "zelvor.core.trevane._run_native", run_sig, args, nargsf, kwnames,
        [&](const std::array<PyObject*, n_run_params>& arg) -> PyObject* {
            auto* inputs = static_cast<NativeInputs*>(PyCapsule_GetPointer(arg[0], capsule_name));
            if (inputs == nullptr) throw glue::ErrorSet{};
            const RunOptions o = convert_options(arg);
            PyObject* const stats_only_arg = arg[stats_only_param];
            const bool stats_only = stats_only_arg != nullptr && glue::truth(stats_only_arg);
            PyObject* const excursions_arg = arg[excursions_param];
            const bool follow = excursions_arg == nullptr || glue::truth(excursions_arg);
            const Excursions excursions = stats_only ? Excursions::none
                                          : follow   ? Excursions::follow
                                                     : Excursions::defer;
            using params::index_of;
            const engine::Options options =
                engine_options([&](std::size_t i) { return o.real[i]; }, [&](std::size_t i) { return o.truth[i]; });
            const bool stop_trading = o.truth[index_of("stop_trading_next_period")];
            const bool periodically_rebalance = o.truth[index_of("periodically_rebalance")];
            const excursion::Settings settings{o.int32[index_of("quelmo_window")],
                                               o.int32[index_of("quelmo_window_step")], options.fee_ratio,
                                               options.tax_ratio};

            const engine::Market& market = inputs->market;
            npy_intp n_rows = static_cast<npy_intp>(market.price_index.size);
            Ref equity = glue::check(PyArray_EMPTY(1, &n_rows, NPY_DOUBLE, 0));
            require_first_row(market.pos_values);
            require_first_row(market.price);
            std::optional<StatsRequest> request = StatsRequest::read(arg[stats_param], n_rows);
            auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(equity.get())));

            NativeHost host(*inputs, settings, options.retain_cost_when_rebalance, periodically_rebalance, stop_trading,
                            excursions);
            Operations ops;
            stats::Figures figures{};
            std::exception_ptr failure;
            Py_BEGIN_ALLOW_THREADS;
            try {
                const engine::RunOutcome outcome =
                    engine::run_backtest(market, options, inputs->price_columns, host, values);
                if (!stats_only) ops = end_of_run(outcome, market, options.position_limit, stop_trading);
                if (request) figures = request->compute(values, n_rows, host.log());
            } catch (...) {
                failure = std::current_exception();
            }
            Py_END_ALLOW_THREADS;
            if (failure) {
                try {
                    std::rethrow_exception(failure);
                } catch (const LabelNeeded& e) {
                    raise_label_error(e, *inputs);
                }
            }

            Ref result = glue::check(PyDict_New());
            put(result.get(), "equity", equity);
            engine::FillLog& log = host.log();
            if (stats_only) {
                put(result.get(), "trades", take_trades_table(log.trades(), LedgerColumns::statistics));
                put(result.get(), "fills", take_fills_table(log.fills(), LedgerColumns::statistics));
                if (request) put(result.get(), "stats", request->figures(figures));
                if (request) request->put_row_returns(result.get());
                return result.release();
            }
            if (excursions == Excursions::defer) {
                // The follow-ups read the ledger before its columns are taken over.
                Ref followups = followups_dict(*inputs, host.followups(), log, host.last_row(), settings);
                put(result.get(), "trades", take_trades_table(log.trades(), LedgerColumns::all));
                put(result.get(), "followups", followups);
                put(result.get(), "fills", take_fills_table(log.fills(), LedgerColumns::all));
                put(result.get(), "operations", operations_dict(ops, Widths::compact));
            } else {
                put(result.get(), "trades", trades_dict(log, host.recorded()));
                put(result.get(), "recorded", recorded_dict(host.recorded()));
                put(result.get(), "fills", take_fills_table(log.fills(), LedgerColumns::all));
                put(result.get(), "operations", operations_dict(ops, Widths::wide));
            }
            if (request) put(result.get(), "stats", request->figures(figures));
            if (request) request->put_row_returns(result.get());
            return result.release();
        });
}

}  // namespace

PyMethodDef prepare_native_def = glue::method(
    "_prepare_native", prepare_native,
    "_prepare_native($module, /, price_values, close_values, high_values, low_values, open_values, price_index,\n"
    "    price_columns, pos_values, pos_index, pos_columns, resample, delisting_bars=None)\n--\n\n"
    "Private. Check and hold backtest_'s arrays for _run_native: labels matched and the gross weight of\n"
    "every weights row computed once. The arrays must not change while the result is in use.");

PyMethodDef run_native_def = glue::method("_run_native", run_native, nullptr);

// The options' names and defaults come from backtest_'s parameter table, as its own signature's do.
const char* run_native_docstring() {
    static const std::string text =
        "_run_native($module, /, inputs" + params::signature_entries(first_option, first_option + n_options) +
        ", stats=None, stats_only=False, excursions=True)\n--\n\n"
        "Private. One backtest over _prepare_native's inputs, run without the interpreter lock; returns a\n"
        "dict of NumPy arrays: equity, trades (the ledger and the excursion statistics), recorded (the\n"
        "recorder's trade records), fills and operations, and with stats=(start_row, risk_free, periods_per_year,\n"
        "benchmark or None, dates) the run's statistics (as _stats gives them), computed in the run; two more\n"
        "items (moments, returns) add \"moments\" (n, Sharpe ratio, skewness, kurtosis of the daily returns after\n"
        "start_row) and \"returns\" (those returns, float64 or float32, NaN up to start_row) when asked.\n"
        "Nothing is kept in module state. The options are backtest_'s, with its defaults and meaning\n"
        "(see help(backtest_)).\n\n"
        "stats_only=True returns only what the run's statistics read: equity, trades (entry_row, exit_row,\n"
        "basis, pnl) and fills (value_before, value_after, fee, tax), bit for bit those of the full run\n"
        "(and stats when asked). The excursions are not followed, so their own failures (a zero close after\n"
        "an entry, a zero window_step) are not raised; the layer refuses such inputs before it runs.\n\n"
        "excursions=False leaves the excursions to _excursions: trades has no stats, and recorded gives way\n"
        "to followups, _excursions' keyword arguments for them (the price and close arrays; price_column,\n"
        "entry_row, exit_row as int32 and flags as uint8, 1 long, 2 entry and 4 exit transaction, per\n"
        "trade; window, window_step, fee_ratio, tax_ratio). Where the ledger implies price_column,\n"
        "entry_row and exit_row, implied_by (price_column per stock, last_row) stands in their place:\n"
        "zelvor._engine.excursion_arguments makes the arguments. Stock indices and rows are int32 throughout.\n"
        "The failures of following the trades are raised by _excursions instead.";
    return text.c_str();
}

}  // namespace zelvor::trevane
