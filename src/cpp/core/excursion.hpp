// Excursion statistics of one trade: follows the stock's closes from the entry row, keeps the
// trade's value relative to its entry and reports MAE, MFE, the favourable excursion before the
// adverse low, the drawdown, the rows in profit and the return, at regular steps over a window
// after the entry and once at the exit.
//
// Plain C++: prices come in as strided views, failures leave as numeric::Error, and the result is
// written into memory the caller provides (the Python side hands in a fresh NumPy array).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/strided.hpp"

namespace zelvor::excursion {

// Recording parameters, fixed for a whole run.
struct Settings {
    std::int32_t window = 0;       // rows after the entry covered by the window groups
    std::int32_t window_step = 0;  // spacing of the window groups, in rows
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
};

struct Trade {
    std::int32_t price_column = 0;  // column of the stock in the price matrices
    std::int32_t entry_row = 0;
    std::int32_t exit_row = 0;  // for a trade still open: the last recorded row
    bool is_long = true;
    std::int32_t entry_transaction = 0;  // non-zero: the entry paid the fee
    std::int32_t exit_transaction = 0;   // non-zero: the exit trades at the trading price, pays fee and tax
};

inline constexpr int figures_per_group = 6;  // mae, mfe, bmfe, mdd, profit_rows, trade_return

// One analyser serves every trade of a process: its six tracks keep their capacity between trades,
// so a run of many trades allocates only when a trade is longer than all before it.
class Analyzer {
public:
    // Fills the tracks for `trade` (entry row to the last row examined, exit adjustment included).
    // Throws numeric::Error: IndexError for a row or column outside the matrices, ZeroDivisionError
    // "float division" for a zero entry price or a zero close divided by, OverflowError when the entry
    // lies so far past the data that the track length would be negative.
    void follow(const numeric::Strided2D& price, const numeric::Strided2D& close, const Trade& trade,
                const Settings& settings);

    // Number of elements of the result: 6q + 12 with q = floor((window - 1) / window_step). May be
    // zero or negative (the caller's array allocation refuses a negative length). Throws
    // ZeroDivisionError for a zero step and OverflowError for a length beyond the 32-bit range.
    static std::int64_t result_length(const Settings& settings);

    // Writes the statistics of the last followed trade into `out` (of result_length() elements):
    // -1.0 everywhere, then the window groups, then the exit group. A group that does not fit raises
    // IndexError "Out of bounds on buffer access (axis 0)".
    void write(std::span<double> out, const Trade& trade, const Settings& settings) const;

    // follow + result_length + write into a new vector; a negative length raises ValueError.
    std::vector<double> analyse(const numeric::Strided2D& price, const numeric::Strided2D& close, const Trade& trade,
                                const Settings& settings);

    // The tracks of the last followed trade, element k belonging to row entry_row + k.
    std::span<const double> value_track() const noexcept { return value_track_; }
    std::span<const double> peak() const noexcept { return peak_; }
    std::span<const double> trough() const noexcept { return trough_; }
    std::span<const std::int32_t> trough_row() const noexcept { return trough_row_; }
    std::span<const double> drawdown() const noexcept { return drawdown_; }
    std::span<const double> gain_rows() const noexcept { return gain_rows_; }

private:
    // The six figures of track index k, into group[0 .. 5].
    void figures_at(double* group, std::size_t k) const noexcept;
    // The same into out[first .. first + 5], each element checked against the array.
    void write_group(std::span<double> out, std::int64_t first, std::size_t k) const;

    std::vector<double> value_track_;
    std::vector<double> peak_;
    std::vector<double> trough_;
    std::vector<std::int32_t> trough_row_;
    std::vector<double> drawdown_;
    std::vector<double> gain_rows_;
};

}  // namespace zelvor::excursion
