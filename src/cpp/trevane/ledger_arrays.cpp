#include "trevane/ledger_arrays.hpp"

#include <cstring>
#include <memory>

namespace zelvor::trevane {

namespace {

constexpr const char* owner_name = "zelvor.core.trevane._buffer";

template <class T>
void free_owner(PyObject* capsule) noexcept {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, owner_name));
}

template <class T>
glue::Ref adopt(int type, std::vector<T>&& values, int nd, const npy_intp* shape) {
    if (values.empty()) return glue::check(PyArray_EMPTY(nd, const_cast<npy_intp*>(shape), type, 0));
    auto owned = std::make_unique<std::vector<T>>(std::move(values));
    glue::Ref capsule = glue::check(PyCapsule_New(owned.get(), owner_name, free_owner<T>));
    std::vector<T>* const kept = owned.release();  // the capsule frees it from now on
    glue::Ref array = glue::check(PyArray_SimpleNewFromData(nd, const_cast<npy_intp*>(shape), type, kept->data()));
    // The array steals the reference to its base, also when it fails.
    glue::check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()));
    return array;
}

}  // namespace

glue::Ref adopt_doubles(std::vector<double>&& values, int nd, const npy_intp* shape) {
    return adopt(NPY_DOUBLE, std::move(values), nd, shape);
}

glue::Ref adopt_int64s(std::vector<std::int64_t>&& values, int nd, const npy_intp* shape) {
    return adopt(NPY_INT64, std::move(values), nd, shape);
}

glue::Ref adopt_int32s(std::vector<std::int32_t>&& values, int nd, const npy_intp* shape) {
    return adopt(NPY_INT32, std::move(values), nd, shape);
}

glue::Ref adopt_uint8s(std::vector<std::uint8_t>&& values, int nd, const npy_intp* shape) {
    return adopt(NPY_UINT8, std::move(values), nd, shape);
}

void put(PyObject* dict, const char* key, const glue::Ref& value) {
    glue::check_status(PyDict_SetItemString(dict, key, value.get()));
}

glue::Ref adopt_bools(std::vector<std::uint8_t>&& values, int nd, const npy_intp* shape) {
    return adopt(NPY_BOOL, std::move(values), nd, shape);
}

namespace {

// A 1-D array taking over `values`.
template <class T>
glue::Ref adopted(int type, std::vector<T>&& values) {
    const npy_intp length = static_cast<npy_intp>(values.size());
    return adopt(type, std::move(values), 1, &length);
}

glue::Ref adopted(engine::IndexColumn&& values) {
    if (values.compact()) return adopted(NPY_INT32, std::move(values.narrow()));
    return adopted(NPY_INT64, std::move(values.wide()));
}

// A new 1-D array holding a copy of `values`.
template <class T>
glue::Ref copied(int type, const std::vector<T>& values) {
    npy_intp length = static_cast<npy_intp>(values.size());
    glue::Ref array = glue::check(PyArray_EMPTY(1, &length, type, 0));
    if (!values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                    values.size() * sizeof(T));
    }
    return array;
}

glue::Ref copied(const engine::IndexColumn& values) {
    if (values.compact()) return copied(NPY_INT32, values.narrow());
    return copied(NPY_INT64, values.wide());
}

// The tables' columns in order, each put into `dict` as `make` gives it: `make(type, column)`
// where the column is a std::vector or an IndexColumn. Only the statistics' columns unless `all`.
template <class Trades, class Make>
glue::Ref trade_columns(Trades& t, bool all, Make&& make) {
    glue::Ref d = glue::check(PyDict_New());
    if (all) put(d.get(), "sid", make(t.sid));
    put(d.get(), "entry_row", make(t.entry_row));
    put(d.get(), "exit_row", make(t.exit_row));
    if (all) {
        put(d.get(), "position", make(NPY_DOUBLE, t.position));
        put(d.get(), "entry_price", make(NPY_DOUBLE, t.entry_price));
        put(d.get(), "exit_price", make(NPY_DOUBLE, t.exit_price));
    }
    put(d.get(), "basis", make(NPY_DOUBLE, t.basis));
    put(d.get(), "pnl", make(NPY_DOUBLE, t.pnl));
    if (all) {
        put(d.get(), "reason", make(NPY_UINT8, t.reason));
        put(d.get(), "listed", make(NPY_BOOL, t.listed));
    }
    return d;
}

template <class Fills, class Make>
glue::Ref fill_columns(Fills& f, bool all, Make&& make) {
    glue::Ref d = glue::check(PyDict_New());
    if (all) {
        put(d.get(), "row", make(f.row));
        put(d.get(), "sid", make(f.sid));
        put(d.get(), "reason", make(NPY_UINT8, f.reason));
    }
    put(d.get(), "value_before", make(NPY_DOUBLE, f.value_before));
    put(d.get(), "value_after", make(NPY_DOUBLE, f.value_after));
    if (all) {
        put(d.get(), "balance", make(NPY_DOUBLE, f.balance));
        put(d.get(), "price", make(NPY_DOUBLE, f.price));
    }
    put(d.get(), "fee", make(NPY_DOUBLE, f.fee));
    put(d.get(), "tax", make(NPY_DOUBLE, f.tax));
    return d;
}

// The two ways of making a column: a copy, or taking the column over.
struct Copy {
    const glue::Ref operator()(const engine::IndexColumn& c) const { return copied(c); }
    template <class T>
    glue::Ref operator()(int type, const std::vector<T>& c) const {
        return copied(type, c);
    }
};
struct Take {
    glue::Ref operator()(engine::IndexColumn& c) const { return adopted(std::move(c)); }
    template <class T>
    glue::Ref operator()(int type, std::vector<T>& c) const {
        return adopted(type, std::move(c));
    }
};

}  // namespace

glue::Ref trades_table(const engine::TradeColumns& trades) { return trade_columns(trades, true, Copy{}); }

glue::Ref fills_table(const engine::FillColumns& fills) { return fill_columns(fills, true, Copy{}); }

glue::Ref take_trades_table(engine::TradeColumns& trades, LedgerColumns which) {
    return trade_columns(trades, which == LedgerColumns::all, Take{});
}

glue::Ref take_fills_table(engine::FillColumns& fills, LedgerColumns which) {
    return fill_columns(fills, which == LedgerColumns::all, Take{});
}

}  // namespace zelvor::trevane
