#include "trevane/ledger_arrays.hpp"

#include <cstring>
#include <memory>
#include <type_traits>

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

// The NumPy type of a log column's elements.
template <class T>
constexpr int numpy_type() {
    if constexpr (std::is_same_v<T, double>) return NPY_DOUBLE;
    if constexpr (std::is_same_v<T, std::uint8_t>) return NPY_UINT8;
    if constexpr (std::is_same_v<T, engine::Flag>) return NPY_BOOL;
}

// A 1-D array taking over `values`.
template <class T>
glue::Ref adopted(std::vector<T>&& values) {
    const npy_intp length = static_cast<npy_intp>(values.size());
    return adopt(numpy_type<T>(), std::move(values), 1, &length);
}

glue::Ref adopted(engine::IndexColumn&& values) {
    const npy_intp length = static_cast<npy_intp>(values.size());
    if (values.compact()) return adopt(NPY_INT32, std::move(values.narrow()), 1, &length);
    return adopt(NPY_INT64, std::move(values.wide()), 1, &length);
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

template <class T>
glue::Ref copied(const std::vector<T>& values) {
    return copied(numpy_type<T>(), values);
}

glue::Ref copied(const engine::IndexColumn& values) {
    if (values.compact()) return copied(NPY_INT32, values.narrow());
    return copied(NPY_INT64, values.wide());
}

// A dict of the table's columns, in order, each as `make(column)` gives it.
template <class Table, class Make>
glue::Ref table(Table& columns, bool all, Make&& make) {
    glue::Ref d = glue::check(PyDict_New());
    for_each_column(columns, all, [&](const char* key, auto& column) { put(d.get(), key, make(column)); });
    return d;
}

// The two ways of making a column: a copy, or taking the column over.
constexpr auto copy_column = [](const auto& column) { return copied(column); };
constexpr auto take_column = [](auto& column) { return adopted(std::move(column)); };

}  // namespace

glue::Ref trades_table(const engine::TradeColumns& trades) { return table(trades, true, copy_column); }

glue::Ref fills_table(const engine::FillColumns& fills) { return table(fills, true, copy_column); }

glue::Ref take_trades_table(engine::TradeColumns& trades, LedgerColumns which) {
    return table(trades, which == LedgerColumns::all, take_column);
}

glue::Ref take_fills_table(engine::FillColumns& fills, LedgerColumns which) {
    return table(fills, which == LedgerColumns::all, take_column);
}

}  // namespace zelvor::trevane
