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

constexpr const char* block_name = "zelvor.core.trevane._block";

void free_block(PyObject* capsule) noexcept { std::free(PyCapsule_GetPointer(capsule, block_name)); }

// A 1-D array of the first `n` elements of `column`'s block, which it takes over: the block
// becomes the array's memory and is freed with it.
template <class T>
glue::Ref adopted(int type, engine::Column<T>& column, std::size_t n) {
    npy_intp length = static_cast<npy_intp>(n);
    if (n == 0 || column.data() == nullptr) {
        std::free(column.release());
        return glue::check(PyArray_EMPTY(1, &length, type, 0));
    }
    glue::Ref capsule = glue::check(PyCapsule_New(column.data(), block_name, free_block));
    T* const data = column.release();  // the capsule frees it from now on
    glue::Ref array = glue::check(PyArray_SimpleNewFromData(1, &length, type, data));
    // The array steals the reference to its base, also when it fails.
    glue::check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()));
    return array;
}

template <class T>
glue::Ref adopted(engine::Column<T>& column, std::size_t n) {
    return adopted(numpy_type<T>(), column, n);
}

glue::Ref adopted(engine::IndexColumn& column, std::size_t n) {
    if (column.compact()) return adopted(NPY_INT32, column.narrow(), n);
    return adopted(NPY_INT64, column.wide(), n);
}

// A new 1-D array holding a copy of the first `n` elements of `column`.
template <class T>
glue::Ref copied(int type, const engine::Column<T>& column, std::size_t n) {
    npy_intp length = static_cast<npy_intp>(n);
    glue::Ref array = glue::check(PyArray_EMPTY(1, &length, type, 0));
    if (n > 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), column.data(), n * sizeof(T));
    return array;
}

template <class T>
glue::Ref copied(const engine::Column<T>& column, std::size_t n) {
    return copied(numpy_type<T>(), column, n);
}

glue::Ref copied(const engine::IndexColumn& column, std::size_t n) {
    if (column.compact()) return copied(NPY_INT32, column.narrow(), n);
    return copied(NPY_INT64, column.wide(), n);
}

// A dict of the table's columns, in order, each as `make(column, n)` gives it for the first `n`
// elements.
template <class Table, class Make>
glue::Ref table(Table& columns, std::size_t n, bool all, Make&& make) {
    glue::Ref d = glue::check(PyDict_New());
    for_each_column(columns, all, [&](const char* key, auto& column) { put(d.get(), key, make(column, n)); });
    return d;
}

// The two ways of making a column: a copy, or taking the column's block over.
constexpr auto copy_column = [](const auto& column, std::size_t n) { return copied(column, n); };
constexpr auto take_column = [](auto& column, std::size_t n) { return adopted(column, n); };

// Takes the table's columns over; the table is left empty, without room.
template <class Table>
glue::Ref take_table(Table& columns, bool all) {
    // Emptied first: should a column fail half-way, the table holds no block it could write to.
    const std::size_t n = columns.count;
    columns.count = columns.room = 0;
    return table(columns, n, all, take_column);
}

}  // namespace

glue::Ref trades_table(const engine::TradeColumns& trades) { return table(trades, trades.count, true, copy_column); }

glue::Ref fills_table(const engine::FillColumns& fills) { return table(fills, fills.count, true, copy_column); }

glue::Ref take_trades_table(engine::TradeColumns& trades, LedgerColumns which) {
    return take_table(trades, which == LedgerColumns::all);
}

glue::Ref take_fills_table(engine::FillColumns& fills, LedgerColumns which) {
    return take_table(fills, which == LedgerColumns::all);
}

}  // namespace zelvor::trevane
