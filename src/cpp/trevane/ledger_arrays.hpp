// The fill log's trades and fills as dicts of NumPy arrays, and the helpers that make such arrays:
// shared by get_transactions (the raw path's query) and _run_native.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/fill_log.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/numpy.hpp"
#include "pyglue/ref.hpp"

namespace zelvor::trevane {

// A new 1-D array of `n` elements of `type`, filled by `value(k)`.
template <class T, class Value>
glue::Ref column(int type, std::size_t n, Value&& value) {
    npy_intp length = static_cast<npy_intp>(n);
    glue::Ref array = glue::check(PyArray_EMPTY(1, &length, type, 0));
    auto* data = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::size_t k = 0; k < n; ++k) data[k] = value(k);
    return array;
}

// An array of `shape` over the elements of `values`, which it takes over without a copy: the vector
// moves into a capsule that becomes the array's base and frees it with the array. `values` holds
// exactly the product of `shape` elements of `type`'s size.
glue::Ref adopt_doubles(std::vector<double>&& values, int nd, const npy_intp* shape);
glue::Ref adopt_int64s(std::vector<std::int64_t>&& values, int nd, const npy_intp* shape);
glue::Ref adopt_int32s(std::vector<std::int32_t>&& values, int nd, const npy_intp* shape);
glue::Ref adopt_uint8s(std::vector<std::uint8_t>&& values, int nd, const npy_intp* shape);

void put(PyObject* dict, const char* key, const glue::Ref& value);

// Which columns a table holds: all of them, or those the run's statistics read (a trade's entry_row,
// exit_row, basis and pnl; a fill's value_before, value_after, fee and tax).
enum class LedgerColumns { all, statistics };

// How wide the integer columns are: rows and stock indices as int64, or as int32 (compact: what a
// result kept for a long time holds; every row and stock index of a run fits).
enum class Widths { wide, compact };

// The log's trades and fills as dicts of new arrays copied from its columns, all of them, rows and
// stock indices in the log's width (the raw path's log, which outlives the call).
glue::Ref trades_table(const engine::TradeColumns& trades);
glue::Ref fills_table(const engine::FillColumns& fills);

// The same tables over the log's own columns, taken over without a copy: each array's buffer is the
// column's, freed with the array; the columns are left empty. `which` must not ask for more
// columns than the log kept.
glue::Ref take_trades_table(engine::TradeColumns& trades, LedgerColumns which);
glue::Ref take_fills_table(engine::FillColumns& fills, LedgerColumns which);

}  // namespace zelvor::trevane
