#include "trevane/ledger_arrays.hpp"

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

namespace {

// The columns of one table, added to `dict` in order; each is a new 1-D array of `n` elements
// whose data the caller fills in one pass over the rows.
class Columns {
public:
    Columns(PyObject* dict, std::size_t n) : dict_(dict), n_(n) {}

    template <class T>
    T* add(const char* key, int type) {
        npy_intp length = static_cast<npy_intp>(n_);
        glue::Ref array = glue::check(PyArray_EMPTY(1, &length, type, 0));
        put(dict_, key, array);
        return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    }
    // Added only when `wanted`; nullptr otherwise.
    template <class T>
    T* add_if(bool wanted, const char* key, int type) {
        return wanted ? add<T>(key, type) : nullptr;
    }

private:
    PyObject* dict_;
    std::size_t n_;
};

template <class T>
void set(T* column, std::size_t k, T value) noexcept {
    if (column != nullptr) column[k] = value;
}

// Rows and stock indices as `Int` (int64, or int32 when compact: every row and stock index of a
// run fits), one pass over the trades.
template <class Int>
glue::Ref trades_columns(const std::vector<engine::LedgerTrade>& t, bool all, int int_type) {
    glue::Ref d = glue::check(PyDict_New());
    Columns c(d.get(), t.size());
    Int* const sid = c.add_if<Int>(all, "sid", int_type);
    Int* const entry_row = c.add<Int>("entry_row", int_type);
    Int* const exit_row = c.add<Int>("exit_row", int_type);
    double* const position = c.add_if<double>(all, "position", NPY_DOUBLE);
    double* const entry_price = c.add_if<double>(all, "entry_price", NPY_DOUBLE);
    double* const exit_price = c.add_if<double>(all, "exit_price", NPY_DOUBLE);
    double* const basis = c.add<double>("basis", NPY_DOUBLE);
    double* const pnl = c.add<double>("pnl", NPY_DOUBLE);
    std::uint8_t* const reason = c.add_if<std::uint8_t>(all, "reason", NPY_UINT8);
    npy_bool* const listed = c.add_if<npy_bool>(all, "listed", NPY_BOOL);
    for (std::size_t k = 0; k < t.size(); ++k) {
        const engine::LedgerTrade& x = t[k];
        set(sid, k, static_cast<Int>(x.sid));
        entry_row[k] = static_cast<Int>(x.entry_row);
        exit_row[k] = static_cast<Int>(x.exit_row);
        set(position, k, x.position);
        set(entry_price, k, x.entry_price);
        set(exit_price, k, x.exit_price);
        basis[k] = x.basis;
        pnl[k] = x.pnl;
        set(reason, k, static_cast<std::uint8_t>(x.reason));
        set(listed, k, npy_bool{x.listed});
    }
    return d;
}

template <class Int>
glue::Ref fills_columns(const std::vector<engine::Fill>& f, bool all, int int_type) {
    glue::Ref d = glue::check(PyDict_New());
    Columns c(d.get(), f.size());
    Int* const row = c.add_if<Int>(all, "row", int_type);
    Int* const sid = c.add_if<Int>(all, "sid", int_type);
    std::uint8_t* const reason = c.add_if<std::uint8_t>(all, "reason", NPY_UINT8);
    double* const value_before = c.add<double>("value_before", NPY_DOUBLE);
    double* const value_after = c.add<double>("value_after", NPY_DOUBLE);
    double* const balance = c.add_if<double>(all, "balance", NPY_DOUBLE);
    double* const price = c.add_if<double>(all, "price", NPY_DOUBLE);
    double* const fee = c.add<double>("fee", NPY_DOUBLE);
    double* const tax = c.add<double>("tax", NPY_DOUBLE);
    for (std::size_t k = 0; k < f.size(); ++k) {
        const engine::Fill& x = f[k];
        set(row, k, static_cast<Int>(x.row));
        set(sid, k, static_cast<Int>(x.sid));
        set(reason, k, static_cast<std::uint8_t>(x.reason));
        value_before[k] = x.value_before;
        value_after[k] = x.value_after;
        set(balance, k, x.balance);
        set(price, k, x.price);
        fee[k] = x.fee;
        tax[k] = x.tax;
    }
    return d;
}

}  // namespace

glue::Ref trades_table(const std::vector<engine::LedgerTrade>& t, LedgerColumns which, Widths widths) {
    const bool all = which == LedgerColumns::all;
    if (widths == Widths::compact) return trades_columns<std::int32_t>(t, all, NPY_INT32);
    return trades_columns<std::int64_t>(t, all, NPY_INT64);
}

glue::Ref fills_table(const std::vector<engine::Fill>& f, LedgerColumns which, Widths widths) {
    const bool all = which == LedgerColumns::all;
    if (widths == Widths::compact) return fills_columns<std::int32_t>(f, all, NPY_INT32);
    return fills_columns<std::int64_t>(f, all, NPY_INT64);
}

}  // namespace zelvor::trevane
