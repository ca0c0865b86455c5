// The end-of-run report: rebuilds the module's operations record from what the daily loop left.
// Everything here is done with Python objects (weights are NumPy scalars read from pos_values, sums
// and divisions are Python arithmetic) so the record matches what Python callers compute from the
// same arrays.
#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "pyglue/errors.hpp"
#include "trevane/module_state.hpp"

namespace zelvor::trevane {

using glue::Ref;

namespace {

using engine::StopEntry;
using engine::StopSide;

bool truth(PyObject* obj) { return glue::check_status(PyObject_IsTrue(obj)) != 0; }

bool compare(PyObject* a, PyObject* b, int op) {
    Ref result = glue::check(PyObject_RichCompare(a, b, op));
    return truth(result.get());
}

Ref py_int(std::int64_t value) { return glue::check(PyLong_FromLongLong(value)); }

// Whether some stop entry is for stock `sid`.
bool names_stock(const std::vector<StopEntry>& entries, std::int64_t sid) {
    return std::any_of(entries.begin(), entries.end(), [&](const StopEntry& e) { return e.sid == sid; });
}

// The record's keys and values are read from `state.stock_operations` at each use, as its entries
// may be rebound meanwhile (step 7 stores whatever the module's normalize_weight returns).
class Record {
public:
    Record() {
        const std::array<const char*, 5> names{"actions", "weights", "next_weights", "weight_time", "next_weight_time"};
        for (size_t k = 0; k < names.size(); ++k) keys_[k] = glue::check(PyUnicode_InternFromString(names[k]));
    }

    enum Key { actions, weights, next_weights, weight_time, next_weight_time };

    PyObject* key(Key k) const { return keys_[k].get(); }

    Ref get(Key k) const {
        PyObject* record = state.stock_operations.get();
        PyObject* value = PyDict_GetItemWithError(record, key(k));
        if (value == nullptr) {
            glue::check_pending();
            PyErr_SetObject(PyExc_KeyError, key(k));
            throw glue::ErrorSet{};
        }
        return Ref::borrow(value);
    }

    void set(Key k, PyObject* value) const {
        glue::check_status(PyDict_SetItem(state.stock_operations.get(), key(k), value));
    }

    // record[k][sid] = value
    void set_entry(Key k, std::int64_t sid, PyObject* value) const {
        Ref mapping = get(k);
        Ref index = py_int(sid);
        glue::check_status(PyObject_SetItem(mapping.get(), index.get(), value));
    }

    // sid in record[k]
    bool contains(Key k, std::int64_t sid) const {
        Ref mapping = get(k);
        Ref index = py_int(sid);
        return glue::check_status(PySequence_Contains(mapping.get(), index.get())) != 0;
    }

private:
    std::array<Ref, 5> keys_;
};

// mapping[key] /= divisor for every key, in iteration order.
void divide_entries(PyObject* mapping, PyObject* divisor) {
    Ref iterator = glue::check(PyObject_GetIter(mapping));
    while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref value = glue::check(PyObject_GetItem(mapping, key.get()));
        Ref quotient = glue::check(PyNumber_InPlaceTrueDivide(value.get(), divisor));
        glue::check_status(PyObject_SetItem(mapping, key.get(), quotient.get()));
    }
    glue::check_pending();
}

// `sum` when it exceeds 1, else 1: weights are scaled down, never up.
Ref divisor_of(Ref sum, PyObject* one) { return compare(sum.get(), one, Py_GT) ? std::move(sum) : Ref::borrow(one); }

// The position row traded by the last rebalance, as the rebalance saw it.
Ref last_target(const engine::RunOutcome& outcome, PyObject* pos_values) {
    if (!outcome.has_last_target) return Ref::borrow(Py_None);
    if (!outcome.last_target_is_copy) {
        Ref row = py_int(outcome.last_target_pos_row);
        return glue::check(PyObject_GetItem(pos_values, row.get()));
    }
    npy_intp length = static_cast<npy_intp>(outcome.last_target_copy.size());
    Ref copy = glue::check(PyArray_SimpleNew(1, &length, NPY_DOUBLE));
    std::copy(outcome.last_target_copy.begin(), outcome.last_target_copy.end(),
              static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy.get()))));
    return copy;
}

// Calls `visit(sid, w)` for every element of a Python iterable, sid counting from 0.
template <class Visit>
void for_each_element(PyObject* row, Visit&& visit) {
    Ref iterator = glue::check(PyObject_GetIter(row));
    std::int64_t sid = 0;
    while (Ref w = Ref::steal(PyIter_Next(iterator.get()))) visit(sid++, w.get());
    glue::check_pending();
}

PyObject* stop_action(StopSide side, const char* tp, const char* sl) {
    return side == StopSide::take_profit ? PyUnicode_InternFromString(tp) : PyUnicode_InternFromString(sl);
}

}  // namespace

void build_report(const engine::RunOutcome& outcome, const ReportInputs& inputs) {
    const engine::PositionMap& positions = outcome.positions;
    PyObject* const pos_values = inputs.pos_values;
    PyObject* const stop_trading = inputs.stop_trading_next_period;
    const Record record;
    Ref zero = py_int(0);
    Ref one = py_int(1);

    // 1. A new record; the previous one stays with whoever holds it.
    {
        Ref fresh = glue::check(PyDict_New());
        for (auto k : {Record::actions, Record::weights, Record::next_weights}) {
            Ref empty = glue::check(PyDict_New());
            glue::check_status(PyDict_SetItem(fresh.get(), record.key(k), empty.get()));
        }
        state.stock_operations = std::move(fresh);
    }

    // 2. Weights of the last rebalance's row for the stocks it left held; a stock closed since by a
    //    due exit or a delisting (its key erased) keeps its place with weight 0.
    {
        Ref weight_sum = zero.copy();
        Ref row = py_int(outcome.last_rebalanced_pos_id);
        for (const auto& [sid, value] : outcome.last_positions) {
            (void)value;
            Ref column = py_int(sid);
            Ref index = glue::check(PyTuple_Pack(2, row.get(), column.get()));
            Ref w = glue::check(PyObject_GetItem(pos_values, index.get()));
            record.set_entry(Record::weights, sid, positions.count(sid) ? w.get() : zero.get());
            Ref magnitude = glue::check(PyNumber_Absolute(w.get()));
            weight_sum = glue::check(PyNumber_InPlaceAdd(weight_sum.get(), magnitude.get()));
        }
        Ref divisor = divisor_of(std::move(weight_sum), one.get());
        divide_entries(record.get(Record::weights).get(), divisor.get());
    }

    // 3. The next period trades the current position row, or repeats the last target when the current
    //    row has already been traded.
    Ref candidate;
    if (outcome.pos_id == outcome.last_rebalanced_pos_id) {
        candidate = last_target(outcome, pos_values);
    } else {
        Ref row = py_int(outcome.pos_id);
        candidate = glue::check(PyObject_GetItem(pos_values, row.get()));
    }

    // 4. Next weights. With stop_trading_next_period, stocks stopped out since the last rebalance (or
    //    due to be stopped) stay out; they still count in the sum unless the pending rebalance drops them.
    Ref next_sum = zero.copy();
    for_each_element(candidate.get(), [&](std::int64_t sid, PyObject* w) {
        bool in_stop_list = false;
        bool in_due_list = false;
        if (truth(stop_trading)) {
            in_stop_list = names_stock(outcome.stop_exits, sid);
            if (!in_stop_list) in_due_list = names_stock(outcome.exits_due, sid);
        }
        bool stopped = in_stop_list;
        if (!stopped && in_due_list) {
            const auto held = positions.find(static_cast<int>(sid));
            stopped = held != positions.end() && held->second != 0;  // NaN counts as held
        }
        if (!(outcome.rebalance_due && stopped)) {
            Ref magnitude = glue::check(PyNumber_Absolute(w));
            next_sum = glue::check(PyNumber_InPlaceAdd(next_sum.get(), magnitude.get()));
        }
        if (!in_stop_list && !in_due_list && compare(w, zero.get(), Py_NE)) {
            record.set_entry(Record::next_weights, sid, w);
        }
    });

    // 5. The position rows both weight sets refer to.
    {
        Ref weight_time = py_int(outcome.last_rebalanced_pos_id);
        record.set(Record::weight_time, weight_time.get());
        Ref next_weight_time = py_int(outcome.pos_id);
        record.set(Record::next_weight_time, next_weight_time.get());
    }

    // 6. The next weights are scaled down the same way.
    {
        Ref divisor = divisor_of(std::move(next_sum), one.get());
        divide_entries(record.get(Record::next_weights).get(), divisor.get());
    }

    // 7. Whatever normalize_weight the module holds now does the final scaling and clipping.
    for (auto k : {Record::weights, Record::next_weights}) {
        Ref normalize = namespace_lookup("normalize_weight");
        Ref weights = record.get(k);
        Ref limit = glue::check(PyFloat_FromDouble(inputs.position_limit));
        Ref normalized =
            glue::check(PyObject_CallFunctionObjArgs(normalize.get(), weights.get(), limit.get(), nullptr));
        record.set(k, normalized.get());
    }

    // 8. A rebalance decided on the last row and never executed: what it would do to each stock.
    if (outcome.rebalance_due) {
        Ref row_index = py_int(outcome.pos_id);
        Ref row = glue::check(PyObject_GetItem(pos_values, row_index.get()));
        for_each_element(row.get(), [&](std::int64_t sid, PyObject* w) {
            const auto held = positions.find(static_cast<int>(sid));
            const double p = held == positions.end() ? 0.0 : held->second;
            const char* action = nullptr;
            if (p == 0 && compare(w, zero.get(), Py_NE)) {
                action = "enter";
            } else if (p != 0 && compare(w, zero.get(), Py_EQ)) {
                action = "exit";
            } else if (p != 0 && compare(w, zero.get(), Py_NE)) {
                action = "hold";
            }
            if (action == nullptr) return;
            Ref name = glue::check(PyUnicode_InternFromString(action));
            record.set_entry(Record::actions, sid, name.get());
        });
    }

    // 9. Stop exits due on the next row.
    for (const StopEntry& entry : outcome.exits_due) {
        Ref name;
        if (truth(stop_trading) || outcome.last_date > inputs.pos_index.at(outcome.pos_id)) {
            name = glue::check(stop_action(entry.side, "tp", "sl"));
        } else if (record.contains(Record::next_weights, entry.sid)) {
            Ref next_weights = record.get(Record::next_weights);
            Ref index = py_int(entry.sid);
            Ref w = glue::check(PyObject_GetItem(next_weights.get(), index.get()));
            if (compare(w.get(), zero.get(), Py_NE)) {
                name = glue::check(stop_action(entry.side, "tp_enter", "sl_enter"));
            }
        }
        if (name) record.set_entry(Record::actions, entry.sid, name.get());
    }

    // 10. Stops executed since the last rebalance; with stop_trading_next_period they override.
    for (const StopEntry& entry : outcome.stop_exits) {
        if (truth(stop_trading) || !record.contains(Record::actions, entry.sid)) {
            Ref name = glue::check(stop_action(entry.side, "tp_", "sl_"));
            record.set_entry(Record::actions, entry.sid, name.get());
        }
    }
}

}  // namespace zelvor::trevane
