// The end-of-run report: rebuilds the module's operations record from what the daily loop left.
// Everything here is done with Python objects (weights are NumPy scalars read from pos_values, sums
// and divisions are Python arithmetic) so the record matches what Python callers compute from the
// same arrays.
#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "pyglue/errors.hpp"
#include "pyglue/objects.hpp"
#include "trevane/actions.hpp"
#include "trevane/module_state.hpp"

namespace zelvor::trevane {

using glue::Ref;

namespace {

using engine::RunOutcome;
using engine::StopEntry;
using engine::StopSide;

constinit glue::Name normalize_weight_name{"normalize_weight"};

// Action names: a rebalance's (step 8) and, by the stop's side, a due stop's (step 9), a due stop's
// kept in the next period (step 9) and an executed stop's (step 10).
constinit glue::Name enter_name{action::names[action::enter]};
constinit glue::Name exit_name{action::names[action::exit]};
constinit glue::Name hold_name{action::names[action::hold]};
struct StopNames {
    glue::Name take_profit;
    glue::Name stop_loss;
    PyObject* of(StopSide side) const { return side == StopSide::take_profit ? take_profit.get() : stop_loss.get(); }
};
constinit StopNames due_stop{glue::Name{action::names[action::tp]}, glue::Name{action::names[action::sl]}};
constinit StopNames due_stop_kept{glue::Name{action::names[action::tp_enter]},
                                  glue::Name{action::names[action::sl_enter]}};
constinit StopNames executed_stop{glue::Name{action::names[action::tp_]}, glue::Name{action::names[action::sl_]}};

// Whether some stop entry is for stock `sid`.
bool names_stock(const std::vector<StopEntry>& entries, std::int64_t sid) {
    return std::any_of(entries.begin(), entries.end(), [&](const StopEntry& e) { return e.sid == sid; });
}

// The operations record. Its entries are read from `state.stock_operations` at each use, as they may
// be rebound meanwhile (step 7 stores whatever the module's normalize_weight returns).
class Record {
public:
    enum Key { actions, weights, next_weights, weight_time, next_weight_time };

    static PyObject* key(Key k) {
        static constinit std::array<glue::Name, 5> names{glue::Name{"actions"}, glue::Name{"weights"},
                                                         glue::Name{"next_weights"}, glue::Name{"weight_time"},
                                                         glue::Name{"next_weight_time"}};
        return names[k].get();
    }

    // A new record with empty "actions", "weights" and "next_weights" replaces the module's; the
    // previous one stays with whoever holds it.
    static void replace() {
        Ref fresh = glue::check(PyDict_New());
        for (auto k : {actions, weights, next_weights}) {
            Ref empty = glue::check(PyDict_New());
            glue::check_status(PyDict_SetItem(fresh.get(), key(k), empty.get()));
        }
        state.stock_operations = std::move(fresh);
    }

    static Ref get(Key k) {
        PyObject* value = PyDict_GetItemWithError(state.stock_operations.get(), key(k));
        if (value == nullptr) {
            glue::check_pending();
            PyErr_SetObject(PyExc_KeyError, key(k));
            throw glue::ErrorSet{};
        }
        return Ref::borrow(value);
    }

    static void set(Key k, PyObject* value) {
        glue::check_status(PyDict_SetItem(state.stock_operations.get(), key(k), value));
    }

    // record[k][sid] = value
    static void set_entry(Key k, std::int64_t sid, PyObject* value) {
        Ref mapping = get(k);
        Ref index = glue::new_int(sid);
        glue::set_item(mapping.get(), index.get(), value);
    }

    // sid in record[k]
    static bool contains(Key k, std::int64_t sid) {
        Ref mapping = get(k);
        Ref index = glue::new_int(sid);
        return glue::check_status(PySequence_Contains(mapping.get(), index.get())) != 0;
    }
};

// mapping[key] /= divisor for every key, in iteration order.
void divide_entries(PyObject* mapping, PyObject* divisor) {
    glue::for_each(mapping, [&](PyObject* key) {
        Ref value = glue::get_item(mapping, key);
        Ref quotient = glue::check(PyNumber_InPlaceTrueDivide(value.get(), divisor));
        glue::set_item(mapping, key, quotient.get());
    });
}

// Weights are scaled down, never up: divides them by `sum` when it exceeds 1.
void scale_down(Record::Key k, Ref sum) {
    Ref one = glue::new_int(1);
    Ref divisor = glue::compare(sum.get(), one.get(), Py_GT) ? std::move(sum) : std::move(one);
    divide_entries(Record::get(k).get(), divisor.get());
}

// sum += |w|
void add_magnitude(Ref& sum, PyObject* w) {
    Ref magnitude = glue::check(PyNumber_Absolute(w));
    sum = glue::check(PyNumber_InPlaceAdd(sum.get(), magnitude.get()));
}

// Calls `visit(sid, w)` for every element of a Python iterable, sid counting from 0.
template <class Visit>
void for_each_weight(PyObject* row, Visit&& visit) {
    std::int64_t sid = 0;
    glue::for_each(row, [&](PyObject* w) { visit(sid++, w); });
}

// The position row traded by the last rebalance, as the rebalance saw it.
Ref last_target(const RunOutcome& outcome, PyObject* pos_values) {
    if (!outcome.has_last_target) return Ref::borrow(Py_None);
    if (!outcome.last_target_is_copy) return glue::get_index(pos_values, outcome.last_target_pos_row);
    npy_intp length = static_cast<npy_intp>(outcome.last_target_copy.size());
    Ref copy = glue::check(PyArray_SimpleNew(1, &length, NPY_DOUBLE));
    std::copy(outcome.last_target_copy.begin(), outcome.last_target_copy.end(),
              static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy.get()))));
    return copy;
}

// Step 2: the weights of the last rebalance's row for the stocks it left held; a stock closed since
// by a due exit or a delisting (its key erased) keeps its place with weight 0.
void current_weights(const RunOutcome& outcome, PyObject* pos_values) {
    Ref zero = glue::new_int(0);
    Ref weight_sum = glue::new_int(0);
    Ref row = glue::new_int(outcome.last_rebalanced_pos_id);
    for (const auto& [sid, value] : outcome.last_positions) {
        (void)value;
        Ref column = glue::new_int(sid);
        Ref index = glue::check(PyTuple_Pack(2, row.get(), column.get()));
        Ref w = glue::get_item(pos_values, index.get());
        Record::set_entry(Record::weights, sid, outcome.positions.count(sid) ? w.get() : zero.get());
        add_magnitude(weight_sum, w.get());
    }
    scale_down(Record::weights, std::move(weight_sum));
}

// Step 3: the next period trades the current position row, or repeats the last target when the
// current row has already been traded.
Ref next_candidate(const RunOutcome& outcome, PyObject* pos_values) {
    if (outcome.pos_id == outcome.last_rebalanced_pos_id) return last_target(outcome, pos_values);
    return glue::get_index(pos_values, outcome.pos_id);
}

// Step 4: the next weights. With stop_trading_next_period, stocks stopped out since the last
// rebalance (or due to be stopped) stay out; they still count in the sum unless the pending
// rebalance drops them. Returns the sum of the absolute weights.
Ref next_weights(const RunOutcome& outcome, PyObject* candidate, PyObject* stop_trading) {
    Ref zero = glue::new_int(0);
    Ref next_sum = glue::new_int(0);
    for_each_weight(candidate, [&](std::int64_t sid, PyObject* w) {
        bool in_stop_list = false;
        bool in_due_list = false;
        if (glue::truth(stop_trading)) {
            in_stop_list = names_stock(outcome.stop_exits, sid);
            if (!in_stop_list) in_due_list = names_stock(outcome.exits_due, sid);
        }
        bool stopped = in_stop_list;
        if (!stopped && in_due_list) {
            const auto held = outcome.positions.find(static_cast<int>(sid));
            stopped = held != outcome.positions.end() && held->second != 0;  // NaN counts as held
        }
        if (!(outcome.rebalance_due && stopped)) add_magnitude(next_sum, w);
        if (!in_stop_list && !in_due_list && glue::compare(w, zero.get(), Py_NE)) {
            Record::set_entry(Record::next_weights, sid, w);
        }
    });
    return next_sum;
}

// Step 5: the position rows both weight sets refer to.
void weight_times(const RunOutcome& outcome) {
    Ref weight_time = glue::new_int(outcome.last_rebalanced_pos_id);
    Record::set(Record::weight_time, weight_time.get());
    Ref next_weight_time = glue::new_int(outcome.pos_id);
    Record::set(Record::next_weight_time, next_weight_time.get());
}

// Step 7: whatever normalize_weight the module holds now does the final scaling and clipping.
void normalize(double position_limit) {
    for (auto k : {Record::weights, Record::next_weights}) {
        Ref normalize_weight = namespace_lookup(normalize_weight_name);
        Ref weights = Record::get(k);
        Ref limit = glue::check(PyFloat_FromDouble(position_limit));
        Ref normalized =
            glue::check(PyObject_CallFunctionObjArgs(normalize_weight.get(), weights.get(), limit.get(), nullptr));
        Record::set(k, normalized.get());
    }
}

// Step 8: a rebalance decided on the last row and never executed: what it would do to each stock.
void pending_rebalance_actions(const RunOutcome& outcome, PyObject* pos_values) {
    Ref zero = glue::new_int(0);
    Ref row = glue::get_index(pos_values, outcome.pos_id);
    for_each_weight(row.get(), [&](std::int64_t sid, PyObject* w) {
        const auto held = outcome.positions.find(static_cast<int>(sid));
        const double p = held == outcome.positions.end() ? 0.0 : held->second;
        const glue::Name* action = nullptr;
        if (p == 0 && glue::compare(w, zero.get(), Py_NE)) {
            action = &enter_name;
        } else if (p != 0 && glue::compare(w, zero.get(), Py_EQ)) {
            action = &exit_name;
        } else if (p != 0 && glue::compare(w, zero.get(), Py_NE)) {
            action = &hold_name;
        }
        if (action != nullptr) Record::set_entry(Record::actions, sid, action->get());
    });
}

// Step 9: stop exits due on the next row.
void due_stop_actions(const RunOutcome& outcome, const ReportInputs& inputs) {
    Ref zero = glue::new_int(0);
    for (const StopEntry& entry : outcome.exits_due) {
        PyObject* name = nullptr;
        if (glue::truth(inputs.stop_trading_next_period) || outcome.last_date > inputs.pos_index.at(outcome.pos_id)) {
            name = due_stop.of(entry.side);
        } else if (Record::contains(Record::next_weights, entry.sid)) {
            Ref next_weights = Record::get(Record::next_weights);
            Ref w = glue::get_index(next_weights.get(), entry.sid);
            if (glue::compare(w.get(), zero.get(), Py_NE)) name = due_stop_kept.of(entry.side);
        }
        if (name != nullptr) Record::set_entry(Record::actions, entry.sid, name);
    }
}

// Step 10: stops executed since the last rebalance; with stop_trading_next_period they override.
void executed_stop_actions(const RunOutcome& outcome, PyObject* stop_trading) {
    for (const StopEntry& entry : outcome.stop_exits) {
        if (glue::truth(stop_trading) || !Record::contains(Record::actions, entry.sid)) {
            Record::set_entry(Record::actions, entry.sid, executed_stop.of(entry.side));
        }
    }
}

}  // namespace

void build_report(const RunOutcome& outcome, const ReportInputs& inputs) {
    Record::replace();
    current_weights(outcome, inputs.pos_values);
    Ref candidate = next_candidate(outcome, inputs.pos_values);
    Ref next_sum = next_weights(outcome, candidate.get(), inputs.stop_trading_next_period);
    weight_times(outcome);
    scale_down(Record::next_weights, std::move(next_sum));
    normalize(inputs.position_limit);
    if (outcome.rebalance_due) pending_rebalance_actions(outcome, inputs.pos_values);
    due_stop_actions(outcome, inputs);
    executed_stop_actions(outcome, inputs.stop_trading_next_period);
}

}  // namespace zelvor::trevane
