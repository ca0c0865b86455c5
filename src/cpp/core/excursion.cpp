#include "core/excursion.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelvor::excursion {

namespace {

using numeric::Error;
using numeric::ErrorKind;

[[noreturn]] void float_division() { throw Error{ErrorKind::zero_division, "float division"}; }

// Python's floor division of two non-zero-divisor integers.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0))) --q;
    return q;
}

}  // namespace

void Analyzer::follow(const numeric::Strided2D& price, const numeric::Strided2D& close, const Trade& trade,
                      const Settings& settings) {
    const std::int64_t pid = trade.price_column;
    const std::int64_t entry_row = trade.entry_row;

    // Last row examined: the exit, or the end of the window if that lies further, within the data.
    // 64-bit, so a large window cannot wrap around.
    std::int64_t end_row = trade.exit_row;
    const std::int64_t window_end = std::int64_t{settings.window} + entry_row;
    if (window_end > end_row) end_row = window_end;
    if (end_row >= price.rows) end_row = price.rows - 1;
    const std::int64_t length = end_row - entry_row + 1;
    if (length < 0) throw Error{ErrorKind::overflow, "can't convert negative value to size_t"};

    // The entry reads come before the tracks are sized: an entry row outside the data fails here
    // with the same error, and never asks for tracks as long as a bogus row number. They also prove
    // the column in range for both matrices and the entry row in range for `close`.
    const double entry_price = price.at(entry_row, pid);
    const double entry_close = close.at(entry_row, pid);

    // Sized, not cleared and refilled: every element below is written, and a track only grows (and
    // zero-fills) when a trade is longer than all before it. The entry row is always tracked, even
    // when a negative window puts the last row examined before it (length 0).
    const auto n = static_cast<std::size_t>(std::max<std::int64_t>(length, 1));
    value_track_.resize(n);
    peak_.resize(n);
    trough_.resize(n);
    trough_row_.resize(n);
    drawdown_.resize(n);
    gain_rows_.resize(n);

    if (entry_price == 0.0) float_division();
    double value_ratio = trade.is_long ? entry_close / entry_price : 2.0 - entry_close / entry_price;
    if (trade.entry_transaction != 0) value_ratio = value_ratio * (1.0 - settings.fee_ratio);

    // The running figures live in registers; each row stores them at its track index.
    double peak = 1.0 > value_ratio ? 1.0 : value_ratio;
    double trough = 1.0 < value_ratio ? 1.0 : value_ratio;
    std::int32_t trough_row = 0;
    double drawdown = value_ratio - 1 < 0 ? value_ratio - 1 : 0.0;
    double gain_rows = value_ratio > 1.0 ? 1.0 : 0.0;
    value_track_[0] = value_ratio;
    peak_[0] = peak;
    trough_[0] = trough;
    trough_row_[0] = trough_row;
    drawdown_[0] = drawdown;
    gain_rows_[0] = gain_rows;

    // Rows entry_row + 1 ... last_read are inside `close` (entry_row >= 0 was proven by the entry
    // read); a `close` shorter than `price` fails at its first missing row, after the rows before it.
    const std::int64_t last_read = std::min(end_row, close.rows - 1);
    double prev_close = entry_close;
    std::size_t k = 1;
    for (std::int64_t row = entry_row + 1; row <= last_read; ++row, ++k) {
        const double x = close(row, pid);
        const bool valid = !std::isnan(x);
        if (valid) {
            if (prev_close == 0.0) float_division();
            const double r = x / prev_close;
            // A NaN ratio (after a NaN entry close) only moves the reference close on.
            if (!std::isnan(r)) {
                value_ratio = trade.is_long ? value_ratio * r : 2.0 - (2.0 - value_ratio) * r;
            }
            prev_close = x;
        }

        if (value_ratio > peak) peak = value_ratio;
        if (trough > value_ratio) {
            trough = value_ratio;
            trough_row = static_cast<std::int32_t>(k - 1);  // the previous row's track index
        }
        const double dd = value_ratio / peak - 1.0;
        if (drawdown > dd) drawdown = dd;
        if (valid && value_ratio > 1.0) gain_rows = gain_rows + 1.0;

        value_track_[k] = value_ratio;
        peak_[k] = peak;
        trough_[k] = trough;
        trough_row_[k] = trough_row;
        drawdown_[k] = drawdown;
        gain_rows_[k] = gain_rows;
    }
    if (last_read < end_row) throw numeric::out_of_bounds(0);

    // The exit trades at the trading price instead of the close, and pays fee and tax. Only the last
    // value changes: the other tracks stay close-based.
    if (trade.exit_transaction != 0) {
        double& last = value_track_.back();
        if (entry_row != end_row) {
            const double exit_price = price.at(end_row, pid);
            const double exit_close = close.at(end_row, pid);
            if (exit_close == 0.0) float_division();
            if (trade.is_long) {
                last = (exit_price / exit_close) * last;
            } else {
                last = 2.0 - (exit_price * (2.0 - last)) / exit_close;
            }
        }
        last = ((1.0 - settings.fee_ratio) - settings.tax_ratio) * last;
    }
}

std::int64_t Analyzer::result_length(const Settings& settings) {
    if (settings.window_step == 0) throw Error{ErrorKind::zero_division, "integer division or modulo by zero"};
    const std::int64_t q = floor_div(std::int64_t{settings.window} - 1, settings.window_step);
    const std::int64_t length = 6 * q + 12;
    if (length > std::numeric_limits<std::int32_t>::max()) {
        throw Error{ErrorKind::overflow, "excursion statistics of " + std::to_string(length) + " elements (window " +
                                             std::to_string(settings.window) + ", window_step " +
                                             std::to_string(settings.window_step) +
                                             ") exceed the largest array length of 2147483647"};
    }
    return length;
}

void Analyzer::figures_at(double* group, std::size_t k) const noexcept {
    group[0] = trough_[k] - 1;
    group[1] = peak_[k] - 1;
    group[2] = peak_[static_cast<std::size_t>(trough_row_[k])] - 1;
    group[3] = drawdown_[k];
    group[4] = gain_rows_[k];
    group[5] = value_track_[k] - 1;
}

void Analyzer::write_group(std::span<double> out, std::int64_t first, std::size_t k) const {
    double figures[figures_per_group];
    figures_at(figures, k);
    const auto n = static_cast<std::int64_t>(out.size());
    for (int o = 0; o < figures_per_group; ++o) {
        const std::int64_t index = first + o;
        if (index < 0 || index >= n) throw numeric::out_of_bounds(0);
        out[static_cast<std::size_t>(index)] = figures[o];
    }
}

void Analyzer::write(std::span<double> out, const Trade& trade, const Settings& settings) const {
    std::fill(out.begin(), out.end(), -1.0);
    const std::uint64_t length = value_track_.size();
    if (length == 0) return;  // nothing followed
    const std::size_t n = out.size();

    // A negative window, taken as unsigned, is larger than any track: all rows are candidates.
    const std::uint64_t window = static_cast<std::uint64_t>(std::int64_t{settings.window});
    const std::uint64_t m = std::min(length, window);
    if (settings.window_step > 0) {
        const auto step = static_cast<std::uint64_t>(settings.window_step);
        const std::uint64_t groups = m == 0 ? 0 : (m - 1) / step + 1;
        if (groups <= n / figures_per_group) {  // all window groups fit: no check per element
            double* group = out.data();
            for (std::uint64_t k = 0; k < m; k += step, group += figures_per_group) {
                figures_at(group, static_cast<std::size_t>(k));
            }
        } else {
            std::int64_t first = 0;
            for (std::uint64_t k = 0; k < m; k += step, first += figures_per_group) {
                write_group(out, first, static_cast<std::size_t>(k));
            }
        }
    }

    // A negative holding span, taken as unsigned, falls back to the last row.
    const auto held = static_cast<std::uint64_t>(std::int64_t{trade.exit_row} - trade.entry_row);
    const auto kx = static_cast<std::size_t>(std::min(length - 1, held));
    if (n >= figures_per_group) {
        figures_at(out.data() + (n - figures_per_group), kx);
    } else {
        write_group(out, static_cast<std::int64_t>(n) - figures_per_group, kx);
    }
}

std::vector<double> Analyzer::analyse(const numeric::Strided2D& price, const numeric::Strided2D& close,
                                      const Trade& trade, const Settings& settings) {
    follow(price, close, trade, settings);
    const std::int64_t length = result_length(settings);
    if (length < 0) throw Error{ErrorKind::value, "negative dimensions are not allowed"};
    std::vector<double> out(static_cast<std::size_t>(length));
    write(out, trade, settings);
    return out;
}

}  // namespace zelvor::excursion
