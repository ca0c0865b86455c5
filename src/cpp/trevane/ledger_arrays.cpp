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

// An integer column: int64, or int32 when compact.
template <class Value>
glue::Ref integers(Widths widths, std::size_t n, Value&& value) {
    if (widths == Widths::compact) {
        return column<std::int32_t>(NPY_INT32, n, [&](std::size_t k) { return static_cast<std::int32_t>(value(k)); });
    }
    return column<std::int64_t>(NPY_INT64, n, value);
}

}  // namespace

glue::Ref trades_table(const std::vector<engine::LedgerTrade>& t, LedgerColumns which, Widths widths) {
    const bool all = which == LedgerColumns::all;
    glue::Ref d = glue::check(PyDict_New());
    const std::size_t n = t.size();
    if (all) put(d.get(), "sid", integers(widths, n, [&](std::size_t k) { return t[k].sid; }));
    put(d.get(), "entry_row", integers(widths, n, [&](std::size_t k) { return t[k].entry_row; }));
    put(d.get(), "exit_row", integers(widths, n, [&](std::size_t k) { return t[k].exit_row; }));
    if (all) {
        put(d.get(), "position", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return t[k].position; }));
        put(d.get(), "entry_price", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return t[k].entry_price; }));
        put(d.get(), "exit_price", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return t[k].exit_price; }));
    }
    put(d.get(), "basis", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return t[k].basis; }));
    put(d.get(), "pnl", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return t[k].pnl; }));
    if (all) {
        put(d.get(), "reason",
            column<std::uint8_t>(NPY_UINT8, n, [&](std::size_t k) { return static_cast<std::uint8_t>(t[k].reason); }));
        put(d.get(), "listed", column<npy_bool>(NPY_BOOL, n, [&](std::size_t k) { return npy_bool{t[k].listed}; }));
    }
    return d;
}

glue::Ref fills_table(const std::vector<engine::Fill>& f, LedgerColumns which, Widths widths) {
    const bool all = which == LedgerColumns::all;
    glue::Ref d = glue::check(PyDict_New());
    const std::size_t n = f.size();
    if (all) {
        put(d.get(), "row", integers(widths, n, [&](std::size_t k) { return f[k].row; }));
        put(d.get(), "sid", integers(widths, n, [&](std::size_t k) { return f[k].sid; }));
        put(d.get(), "reason",
            column<std::uint8_t>(NPY_UINT8, n, [&](std::size_t k) { return static_cast<std::uint8_t>(f[k].reason); }));
    }
    put(d.get(), "value_before", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].value_before; }));
    put(d.get(), "value_after", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].value_after; }));
    if (all) {
        put(d.get(), "balance", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].balance; }));
        put(d.get(), "price", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].price; }));
    }
    put(d.get(), "fee", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].fee; }));
    put(d.get(), "tax", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].tax; }));
    return d;
}

}  // namespace zelvor::trevane
