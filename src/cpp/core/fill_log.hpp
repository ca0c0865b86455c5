// The fill log: every change of a holding the engine makes (its row, price, fee and tax), and each
// trade's money accounting, kept beside the excursion recorder. Plain C++: the glue converts it.
//
// Per-trade accounting: a trade's pnl is the cash it received minus the cash it paid, costs
// included, plus the marked value of its holding when it is still open at the end. A holding kept
// through a rebalance that restarts its record is handed from the old trade to the new one at its
// value at that moment; the fee and tax of the part of that rebalance's change that cuts the holding
// are the old trade's, the rest the new one's. Every cash flow of the run therefore belongs to
// exactly one trade, and the pnl of all trades adds up to the final portfolio value minus the
// starting cash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/positions.hpp"
#include "core/strided.hpp"

namespace zelvor::engine {

// Why a holding changed (a trade's exit reason uses the same codes, plus `open`).
enum class FillReason : std::uint8_t { rebalance, stop_loss, take_profit, trail_stop, delisted, open };
// The name of each reason, in code order.
inline constexpr std::array<const char*, 6> fill_reason_names{"rebalance",  "stop_loss", "take_profit",
                                                              "trail_stop", "delisted",  "open"};
static_assert(fill_reason_names.size() == static_cast<std::size_t>(FillReason::open) + 1);

// What the recorder was told by the trade primitive.
enum class RecordEvent : std::uint8_t { none, entry, exit, rebase };

// How wide the log keeps its integer columns (rows and stock indices): int64, or int32 (compact:
// every row and stock index of a run fits, the row being an `int` wherever the engine hands it on).
enum class IndexWidth : std::uint8_t { wide, compact };

// Which columns the log keeps: all of them, or only those a run's statistics read (a trade's
// entry_row, exit_row, basis and pnl; a fill's value_before, value_after, fee and tax). A column
// not kept is never written and stays empty.
enum class LogColumns : std::uint8_t { all, statistics };

// One column's elements in a block of their own, allocated with malloc so that an array can take
// the block over and free it. The column's table keeps how many elements are set and how many the
// block has room for; writing within that room is the table's business, so a record's columns are
// written without a check each.
template <class T>
class Column {
public:
    Column() = default;
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    Column(Column&& other) noexcept : data_(std::exchange(other.data_, nullptr)) {}
    Column& operator=(Column&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
        }
        return *this;
    }
    ~Column() { std::free(data_); }

    // Room for `capacity` elements, the ones already set kept (moved, without a copy, where the
    // allocator can remap the pages).
    void grow(std::size_t capacity) {
        void* grown = std::realloc(data_, capacity * sizeof(T));
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
    }
    // The block, to be freed with std::free by whoever takes it; the column is left without one.
    T* release() noexcept { return std::exchange(data_, nullptr); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](std::size_t k) noexcept { return data_[k]; }
    const T& operator[](std::size_t k) const noexcept { return data_[k]; }

private:
    T* data_ = nullptr;
};

// A column of rows or stock indices in the log's width: one of the two blocks is used.
class IndexColumn {
public:
    void set_width(IndexWidth width) noexcept { compact_ = width == IndexWidth::compact; }
    bool compact() const noexcept { return compact_; }
    void set(std::size_t k, std::int64_t value) noexcept {
        if (compact_) {
            narrow_[k] = static_cast<std::int32_t>(value);
        } else {
            wide_[k] = value;
        }
    }
    std::int64_t operator[](std::size_t k) const noexcept { return compact_ ? narrow_[k] : wide_[k]; }
    void grow(std::size_t capacity) {
        if (compact_) {
            narrow_.grow(capacity);
        } else {
            wide_.grow(capacity);
        }
    }
    Column<std::int32_t>& narrow() noexcept { return narrow_; }
    Column<std::int64_t>& wide() noexcept { return wide_; }
    const Column<std::int32_t>& narrow() const noexcept { return narrow_; }
    const Column<std::int64_t>& wide() const noexcept { return wide_; }
    // The first `size` elements as a read-only view, whichever their width.
    numeric::IndexStrided1D view(std::size_t size) const noexcept {
        const auto n = static_cast<std::int64_t>(size);
        if (compact_) {
            return {reinterpret_cast<const char*>(narrow_.data()), n, static_cast<std::int64_t>(sizeof(std::int32_t)),
                    true};
        }
        return {reinterpret_cast<const char*>(wide_.data()), n, static_cast<std::int64_t>(sizeof(std::int64_t)), false};
    }

private:
    bool compact_ = false;
    Column<std::int32_t> narrow_;
    Column<std::int64_t> wide_;
};

// A yes or no per element, one byte each (0 or 1, as a NumPy bool).
enum class Flag : std::uint8_t { no = 0, yes = 1 };

// Every change of a holding, one element per change in each column (the columns not kept empty).
struct FillColumns {
    IndexColumn row;
    IndexColumn sid;
    Column<std::uint8_t> reason;  // FillReason codes
    Column<double> value_before;  // money value of the holding before the change
    Column<double> value_after;
    // Portfolio value the weights refer to (the rebalance's balance, or cash + holdings).
    Column<double> balance;
    Column<double> price;  // the fill price
    Column<double> fee;
    Column<double> tax;
    std::size_t count = 0;  // elements set in each column kept
    std::size_t room = 0;   // elements each column kept has room for

    std::size_t size() const noexcept { return count; }
};

// Every trade, one element per trade in each column (the columns not kept empty).
struct TradeColumns {
    IndexColumn sid;
    IndexColumn entry_row;
    IndexColumn exit_row;     // -1: open at the end
    Column<double> position;  // size at entry, as the recorder got it
    Column<double> entry_price;
    Column<double> exit_price;  // NaN while open
    Column<double> basis;       // money put in, before fees: the value it was opened at plus later additions
    Column<double> pnl;
    Column<std::uint8_t> reason;  // FillReason codes
    // Flag::no for a trade the excursion recorder never lists: a holding an intraday exit filled at a
    // value of exactly 0 (an open, high or low of 0) reaches the trade primitive already at 0, so
    // the recorder hears of no exit and its next entry for the stock replaces the trade. The log
    // closes such a trade at that fill all the same; it has no excursion statistics.
    Column<Flag> listed;
    std::size_t count = 0;  // elements set in each column kept
    std::size_t room = 0;   // elements each column kept has room for

    std::size_t size() const noexcept { return count; }
};

// Calls f(name, column) on each column of a log's fills or trades (const or not), in the order of
// their tables: only those the statistics read unless `all`.
template <class Fills, class F>
    requires std::is_same_v<std::remove_const_t<Fills>, FillColumns>
void for_each_column(Fills& t, bool all, F&& f) {
    if (all) f("row", t.row), f("sid", t.sid), f("reason", t.reason);
    f("value_before", t.value_before), f("value_after", t.value_after);
    if (all) f("balance", t.balance), f("price", t.price);
    f("fee", t.fee), f("tax", t.tax);
}

template <class Trades, class F>
    requires std::is_same_v<std::remove_const_t<Trades>, TradeColumns>
void for_each_column(Trades& t, bool all, F&& f) {
    if (all) f("sid", t.sid);
    f("entry_row", t.entry_row), f("exit_row", t.exit_row);
    if (all) f("position", t.position), f("entry_price", t.entry_price), f("exit_price", t.exit_price);
    f("basis", t.basis), f("pnl", t.pnl);
    if (all) f("reason", t.reason), f("listed", t.listed);
}

// One change made by the trade primitive, as the log hears of it. The reason, the fill price and
// the balance come from the caller that asked for the trade, through its TradeOptions.
struct TradeChange {
    int sid;
    int price_column;
    RecordEvent event;
    FillReason reason;
    std::optional<double> fill_price;  // none: the row's trading price
    std::optional<double> balance;     // none: cash plus holdings before the change
    double target;
    double size;  // target / position_scale, as handed to the recorder (entries only)
    double value_before;
    double value_after;
    double cash_before;
    double cash_after;
    double fee;
    double tax;
};

class FillLog {
public:
    // The width of the integer columns and which columns the runs from now on keep (all, wide,
    // unless told otherwise).
    void keep(IndexWidth width, LogColumns columns) noexcept {
        const bool all = columns == LogColumns::all;
        if (width != width_ || all != all_) fills_.room = trades_.room = 0;  // blocks of other columns
        width_ = width;
        all_ = all;
    }
    bool keeps_all() const noexcept { return all_; }

    // Starts a new run: forgets everything, sizes the per-stock state.
    void start(std::int64_t n_stocks, const numeric::Strided2D& trading_price);

    // The row the daily loop trades on. Stops noted on the previous row become the ones due on this row.
    void set_row(std::int64_t row) noexcept {
        row_ = row;
        noted_.swap(due_);
        has_portfolio_value_ = false;
    }
    // The holdings were revalued: cash plus holdings is now `portfolio_value`.
    void revalued(double portfolio_value) noexcept {
        portfolio_value_ = portfolio_value;
        has_portfolio_value_ = true;
    }

    // A stop detected at a row's close, executed on the next row: remembers why.
    void note_stop(int sid, FillReason reason);
    FillReason due_stop(int sid) const;

    // Called by the trade primitive after the money moved.
    void record(const TradeChange& change, const PositionMap& positions);

    // After the last row: open trades (holdings of non-zero value, ascending stock) marked at the
    // last row's close, exactly as the portfolio value of that row counts them.
    void finish(const PositionMap& positions, std::int64_t last_row, const numeric::Strided2D& close,
                const std::vector<int>& price_columns);

    const FillColumns& fills() const noexcept { return fills_; }
    const TradeColumns& trades() const noexcept { return trades_; }
    // The columns themselves, to be taken over once the run is over (their blocks released, the
    // table's count and room set to 0); the next start() begins from empty columns again.
    FillColumns& fills() noexcept { return fills_; }
    TradeColumns& trades() noexcept { return trades_; }

private:
    struct OpenTrade {
        bool open = false;
        std::int64_t entry_row = 0;
        double position = 0.0;
        double entry_price = 0.0;
        double basis = 0.0;
        double pnl = 0.0;  // cash received minus cash paid so far
    };

    double price_of(int price_column) const;
    // Room for one more fill or trade in every column kept, see grown_capacity().
    template <class Columns>
    void make_room(Columns& columns) {
        if (first_row_ < 0) first_row_ = row_;  // the pace is counted from the run's first record
        if (columns.count < columns.room) return;
        const std::size_t n = grown_capacity(columns.count);
        for_each_column(columns, all_, [n](const char*, auto& column) { column.grow(n); });
        columns.room = n;
    }
    std::size_t grown_capacity(std::size_t size) const noexcept;
    void open_trade(int sid, const TradeChange& change, double price, double opening_pnl);
    void close_trade(int sid, double pnl, double price, FillReason reason, bool listed = true);
    void push_trade(int sid, const OpenTrade& t, std::int64_t exit_row, double exit_price, double pnl,
                    FillReason reason, bool listed);

    numeric::Strided2D trading_price_{};
    std::int64_t row_ = 0;
    std::int64_t first_row_ = -1;  // the row of the run's first fill or trade; -1: none yet
    // Cash plus holdings as of the last revaluation, kept up to date by each fill's own change.
    // Within the revaluation walk (intraday exits) it is summed at the first fill, the holdings
    // not yet revalued counting at their previous value.
    double portfolio_value_ = 0.0;
    bool has_portfolio_value_ = false;
    std::vector<OpenTrade> open_;
    std::vector<FillReason> noted_;  // stops detected on the current row
    std::vector<FillReason> due_;    // stops detected on the previous row
    // Per stock, the index of its last trade in trades_; -1: none yet.
    std::vector<std::int64_t> last_trade_;
    IndexWidth width_ = IndexWidth::wide;
    bool all_ = true;
    FillColumns fills_;
    TradeColumns trades_;
};

}  // namespace zelvor::engine
