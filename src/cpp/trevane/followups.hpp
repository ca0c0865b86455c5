// What a run of _run_native records of each trade for following its excursions later
// (_excursions), and the recorder's work for one trade, shared by both so that the figures are
// made one way.
#pragma once

#include <cstdint>
#include <vector>

#include "core/errors.hpp"
#include "core/excursion.hpp"
#include "core/strided.hpp"

namespace zelvor::trevane {

// What following a trade's excursions needs, column by column, in the recorder's order: the
// excursion::Trade of each trade with its three flags packed into one byte.
struct Followups {
    enum Flag : std::uint8_t { is_long = 1, entry_transaction = 2, exit_transaction = 4 };

    std::vector<std::int32_t> price_column, entry_row, exit_row;
    std::vector<std::uint8_t> flags;

    void push(const excursion::Trade& t) {
        price_column.push_back(t.price_column);
        entry_row.push_back(t.entry_row);
        exit_row.push_back(t.exit_row);
        flags.push_back(static_cast<std::uint8_t>((t.is_long ? is_long : 0) |
                                                  (t.entry_transaction != 0 ? entry_transaction : 0) |
                                                  (t.exit_transaction != 0 ? exit_transaction : 0)));
    }
};

// The Trade a follow-up record stands for. The analyser only tests the transaction flags against
// zero, so 1 stands for any non-zero flag.
inline excursion::Trade followed_trade(std::int32_t price_column, std::int32_t entry_row, std::int32_t exit_row,
                                       std::uint8_t flags) noexcept {
    return {price_column,
            entry_row,
            exit_row,
            (flags & Followups::is_long) != 0,
            (flags & Followups::entry_transaction) != 0 ? 1 : 0,
            (flags & Followups::exit_transaction) != 0 ? 1 : 0};
}

// The recorder's work for one trade: follows it and appends its statistics (the window groups, then
// the exit group) to `stats`. Returns the number of elements appended. Throws numeric::Error as
// the analyser does, and ValueError for a negative result length.
inline std::int64_t append_excursions(excursion::Analyzer& analyzer, const numeric::Strided2D& price,
                                      const numeric::Strided2D& close, const excursion::Trade& trade,
                                      const excursion::Settings& settings, std::vector<double>& stats) {
    analyzer.follow(price, close, trade, settings);
    const std::int64_t length = excursion::Analyzer::result_length(settings);
    if (length < 0) throw numeric::Error{numeric::ErrorKind::value, "negative dimensions are not allowed"};
    const std::size_t at = stats.size();
    stats.resize(at + static_cast<std::size_t>(length));
    analyzer.write({stats.data() + at, static_cast<std::size_t>(length)}, trade, settings);
    return length;
}

}  // namespace zelvor::trevane
