// Standalone checks of the engine core against a fake host that logs the recorder calls.
// Expected values are worked out by hand in the comments; fee and tax are 0 or binary fractions where
// exact equality is asserted.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/engine.hpp"
#include "core/stops.hpp"

namespace {

using namespace zelvor;
using engine::ColumnMap;
using engine::Frame;
using engine::PositionMap;
using engine::StopEntry;
using engine::StopSide;

// What the fake host throws once it has noted an error (the engine only passes it on).
struct HostFailure {};

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

bool near(double a, double b) { return std::fabs(a - b) <= 1e-12 * std::max(1.0, std::fabs(b)); }

using Log = std::vector<std::string>;

struct FakeHost : engine::Host {
    Log log;            // recorder calls in order
    Log frames;         // engine functions an error passed through, innermost first
    std::string error;  // the pending error's text
    bool retain = false, resample = true, stop_trading = true;
    int retain_asked = 0, resample_asked = 0, stop_trading_asked = 0;
    const numeric::Strided2D* pos_values = nullptr;
    engine::FillLog* ledger = nullptr;  // the fill log handed to the engine, when a check wants one

    void record_date(int row) override { log.push_back("date " + std::to_string(row)); }
    void record_entry(int sid, double size, int transaction) override {
        char text[64];
        std::snprintf(text, sizeof text, "entry %d %g %d", sid, size, transaction);
        log.push_back(text);
    }
    void record_exit(int sid, int transaction) override {
        log.push_back("exit " + std::to_string(sid) + " " + std::to_string(transaction));
    }
    void end_analysis(PositionMap& positions) override { log.push_back("end " + std::to_string(positions.size())); }
    bool retain_cost_flag() override { return ++retain_asked, retain; }
    bool resample_flag() override { return ++resample_asked, resample; }
    bool stop_trading_next_period() override { return ++stop_trading_asked, stop_trading; }
    double gross_weight(const engine::TargetRow& row) override {
        double sum = 0.0;
        if (row.copy != nullptr) {
            for (double w : *row.copy) sum += std::fabs(w);
        } else {
            for (std::int64_t c = 0; c < pos_values->cols; ++c) {
                sum += std::fabs((*pos_values)(row.pos_row, c));
            }
        }
        return sum;
    }
    [[noreturn]] void invalid_trade_price(double price, int sid, int row) override {
        char text[96];
        std::snprintf(text, sizeof text, "invalid price %g for %d at row %d", price, sid, row);
        error = text;
        throw HostFailure{};
    }
    [[noreturn]] void missing_price_column(int sid) override {
        error = "no price column for " + std::to_string(sid);
        throw HostFailure{};
    }
    [[noreturn]] void fail(Frame frame) override {
        try {
            throw;
        } catch (const numeric::Error& e) {
            error = e.message;
        } catch (const HostFailure&) {
        }
        static const char* names[] = {"set_position", "rebalance", "validate_trade_price"};
        frames.push_back(names[static_cast<int>(frame)]);
        throw HostFailure{};
    }
    engine::FillLog* fill_log() noexcept override { return ledger; }
};

// ---------------------------------------------------------------------------------------------
// set_position, validate_trade_price, rebalance

engine::PriceColumns one_to_one(int n) {
    ColumnMap map;
    for (int s = 0; s < n; ++s) map[s] = s;
    return engine::make_price_columns(map, n, n);
}

// Runs `body` and reports whether it failed through the host.
template <class F>
bool fails(F&& body) {
    try {
        body();
    } catch (const HostFailure&) {
        return true;
    }
    return false;
}

void check_set_position() {
    const double fee = 0.001425, tax = 0.003;
    const auto cols = one_to_one(2);
    {  // open a long: the fee comes out of the holding (1000 - 1.425); the size is target / scale
        FakeHost h;
        PositionMap p;
        const double cash = engine::set_position(h, cols, p, 0, 1000.0, 0.0, fee, tax, {.position_scale = 2000.0});
        CHECK(near(p.at(0), 998.575) && cash == -1000.0);
        CHECK((h.log == Log{"entry 0 0.5 1"}));
    }
    for (bool drop : {false, true}) {  // close a long: 1000 - (fee + tax) * 1000 = 995.575 to cash
        FakeHost h;
        PositionMap p{{0, 1000.0}};
        const double cash = engine::set_position(h, cols, p, 0, 0.0, 0.0, fee, tax, {.drop_zero = drop});
        CHECK(near(cash, 995.575));
        CHECK(drop ? p.empty() : p.at(0) == 0.0);
        CHECK((h.log == Log{"exit 0 1"}));
    }
    {  // close a short: -1000 - 4.425
        FakeHost h;
        PositionMap p{{0, -1000.0}};
        CHECK(near(engine::set_position(h, cols, p, 0, 0.0, 0.0, fee, tax), -1004.425));
    }
    struct Trade {
        double v, target, holding, cash_change;
    };
    // cost = rate * |diff|: fee alone when the change enlarges the target side (flips included)
    const Trade trades[] = {
        {1000.0, -500.0, -500.0, 1500.0 - 2.1375},  // flip long to short, 1500 * fee
        {-500.0, 1000.0, 997.8625, -1500.0},        // flip short to long, holding 1500 - 2.1375 - 500
        {-1000.0, -400.0, -402.655, -600.0},        // reduce a short: 600 * (fee + tax) from the holding
        {1000.0, 400.0, 400.0, 600.0 - 2.655},      // reduce a long: the cost comes out of the proceeds
        {1000.0, 1000.0, 1000.0, 0.0},              // zero diff: sell branch, no cost, entry kept
    };
    for (const Trade& t : trades) {
        FakeHost h;
        PositionMap p{{0, t.v}};
        const double cash = engine::set_position(h, cols, p, 0, t.target, 100.0, fee, tax, {.drop_zero = true});
        CHECK(p.count(0) == 1 && near(p.at(0), t.holding) && near(cash, 100.0 + t.cash_change));
        // held and still non-zero: re-based in the recorder (RESAMPLE on, retain off)
        CHECK((h.log == Log{"exit 0 0", "entry 0 " + std::to_string(static_cast<int>(t.target)) + " 0"}));
    }
    for (bool drop : {false, true}) {  // a 100 % fee eats the whole purchase: a 0 holding, dropped or kept
        FakeHost h;
        PositionMap p;
        engine::set_position(h, cols, p, 0, 50.0, 100.0, 1.0, 0.0, {.drop_zero = drop});
        CHECK(drop ? p.empty() : p.at(0) == 0.0);
    }
    {  // a missing key: with check_held nothing happens; without it a 0 entry appears unless dropped
        FakeHost h;
        PositionMap p;
        CHECK(engine::set_position(h, cols, p, 0, 0.0, 5.0, fee, tax) == 5.0 && p.empty());
        CHECK(engine::set_position(h, cols, p, 0, 0.0, 5.0, fee, tax, {.check_held = false, .drop_zero = true}) ==
                  5.0 &&
              p.empty());
        CHECK(engine::set_position(h, cols, p, 0, 0.0, 5.0, fee, tax, {.check_held = false}) == 5.0 && p.at(0) == 0.0);
        CHECK(h.log.empty());
        // a key at 0 is not held: closing it records nothing, raising it records a real entry
        engine::set_position(h, cols, p, 0, 0.0, 5.0, fee, tax);
        CHECK(h.log.empty());
        engine::set_position(h, cols, p, 0, 10.0, 5.0, fee, tax);
        CHECK((h.log == Log{"entry 0 10 1"}));
    }
    {  // module flags: RETAIN_COST first; RESAMPLE only asked when the first is false
        FakeHost h;
        h.retain = true;
        PositionMap p{{0, 10.0}};
        engine::set_position(h, cols, p, 0, 20.0, 0.0, 0.0, 0.0);
        CHECK(h.log.empty() && h.retain_asked == 1 && h.resample_asked == 0);
        h.retain = false;
        h.resample = false;
        engine::set_position(h, cols, p, 0, 30.0, 0.0, 0.0, 0.0);
        CHECK(h.log.empty() && h.retain_asked == 2 && h.resample_asked == 1);
    }
    for (double target : {1000.0, nan}) {  // no price column: refused before any recorder call
        FakeHost h;
        PositionMap p;
        const auto none = engine::make_price_columns({}, 2, 2);
        CHECK(fails([&] { engine::set_position(h, none, p, 1, target, 0.0, fee, tax); }));
        CHECK(h.error == "no price column for 1" && (h.frames == Log{"set_position"}));
        CHECK(h.log.empty() && p.empty());
        // past the last label there is nothing to name: the label read is out of bounds
        FakeHost h2;
        const auto unlabelled = engine::make_price_columns({}, 2, 1);
        CHECK(fails([&] { engine::set_position(h2, unlabelled, p, 1, target, 0.0, fee, tax); }));
        CHECK(h2.error == "Out of bounds on buffer access (axis 0)" && p.empty());
    }
    for (double scale : {0.0, -0.0}) {  // zero scale: ZeroDivisionError after the exit already recorded
        FakeHost h;
        PositionMap p{{0, 10.0}};
        CHECK(fails([&] {
            engine::set_position(h, cols, p, 0, 20.0, 0.0, fee, tax, {.drop_zero = true, .position_scale = scale});
        }));
        CHECK(h.error == "float division by zero" && (h.frames == Log{"set_position"}));
        CHECK((h.log == Log{"exit 0 0"}) && p.at(0) == 10.0);
    }
}

void check_validate_trade_price() {
    for (double ok : {nan, 5e-324, 12.5}) {
        FakeHost h;
        CHECK(!fails([&] { engine::validate_trade_price(h, ok, 0, 3); }));
    }
    for (double bad : {0.0, -0.0, inf, -inf, -1.5}) {
        FakeHost h;
        CHECK(fails([&] { engine::validate_trade_price(h, bad, 4, -2); }));
        CHECK(h.error.rfind("invalid price", 0) == 0 && (h.frames == Log{"validate_trade_price"}));
    }
}

// Rebalance with a modified-copy target (no pos_values needed), fee and tax 0.
struct RebalanceCase {
    std::vector<double> weights;
    PositionMap before;
    double cash, limit;
    PositionMap after;
    double cash_after;
};

void check_rebalance() {
    const auto cols = one_to_one(3);
    const RebalanceCase cases[] = {
        // gross 0.5 is not scaled up: balance 1000 buys 250 each
        {{0.25, 0.25}, {}, 1000.0, 1.0, {{0, 250.0}, {1, 250.0}}, 500.0},
        // gross 2: ratio 1000 / 2 = 500
        {{1.0, 1.0}, {}, 1000.0, 1.0, {{0, 500.0}, {1, 500.0}}, 0.0},
        // limit 0.2 of 1000: 300 -> 200, -300 -> -200, exactly 200 stays; cash 1000 - 200 + 200 - 200
        {{0.3, -0.3, 0.2}, {}, 1000.0, 0.2, {{0, 200.0}, {1, -200.0}, {2, 200.0}}, 800.0},
        // balance 500 - 1000 < 0: everything closes, nothing opens; cash -1000 + 500
        {{0.5, 0.5}, {{0, 500.0}}, -1000.0, 1.0, {}, -500.0},
        // balance 0: all values 0, nothing changes
        {{0.5, 0.5}, {}, 0.0, 1.0, {}, 0.0},
        // weight 0 closes a held stock and erases a key at 0
        {{0.0, 0.0, 0.5}, {{0, 100.0}, {1, 0.0}}, 100.0, 1.0, {{2, 100.0}}, 100.0},
    };
    for (const RebalanceCase& c : cases) {
        FakeHost h;
        PositionMap p = c.before;
        engine::TargetRow row{0, &c.weights};
        numeric::Strided1D<double> view{reinterpret_cast<const char*>(c.weights.data()),
                                        static_cast<std::int64_t>(c.weights.size()), sizeof(double)};
        const double cash = engine::rebalance(h, cols, p, row, view, c.cash, 0.0, 0.0, c.limit);
        CHECK(p == c.after && cash == c.cash_after);
    }
    {  // entry sizes are fractions of the balance; a failure passes both boundaries
        FakeHost h;
        PositionMap p;
        const std::vector<double> w{0.25, -0.5, 0.25};
        numeric::Strided1D<double> view{reinterpret_cast<const char*>(w.data()), 3, sizeof(double)};
        engine::rebalance(h, cols, p, {0, &w}, view, 8.0, 0.0, 0.0, 1.0);
        CHECK((h.log == Log{"entry 0 0.25 1", "entry 1 -0.5 1", "entry 2 0.25 1"}));
        FakeHost h2;
        PositionMap p2;
        const auto partial = engine::make_price_columns({{0, 0}}, 3, 3);
        CHECK(fails([&] { engine::rebalance(h2, partial, p2, {0, &w}, view, 8.0, 0.0, 0.0, 1.0); }));
        CHECK((h2.frames == Log{"set_position", "rebalance"}) && h2.error == "no price column for 1");
        CHECK(p2.size() == 1 && (h2.log == Log{"entry 0 0.25 1"}));  // stock 0 keeps its new holding
    }
}

// The rebalance skips columns it can prove untouched; it must agree with the plain form that calls
// set_position for every column, on random holdings (zeros included) and weights (NaN included).
void check_rebalance_against_plain_walk() {
    const auto cols = one_to_one(12);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(0, 5);
    for (int round = 0; round < 300; ++round) {
        PositionMap before;
        std::vector<double> w(12);
        for (int k = 0; k < 12; ++k) {
            const int kind = pick(rng);
            if (kind == 1) before[k] = 0.0;
            if (kind >= 2) before[k] = (kind - 3.5) * 0.1;
            const int wk = pick(rng);
            const bool missing = wk == 5 && round % 7 == 0;
            w[static_cast<std::size_t>(k)] = wk <= 2 ? 0.0 : missing ? nan : (wk - 3.7) * 0.2;
        }
        const double cash = round % 5 == 0 ? -2.0 : 0.5;
        const double fee = 0.001425, tax = 0.003, limit = 0.3;
        FakeHost fast, plain;
        PositionMap p_fast = before, p_plain = before;
        numeric::Strided1D<double> view{reinterpret_cast<const char*>(w.data()), 12, sizeof(double)};
        const double cash_fast = engine::rebalance(fast, cols, p_fast, {0, &w}, view, cash, fee, tax, limit);

        double balance = cash, gross = 0.0;
        for (const auto& kv : before) balance += kv.second;
        for (double x : w) gross += std::fabs(x);
        double ratio = balance / (1.0 > gross ? 1.0 : gross);
        if (std::isnan(ratio)) ratio = 1.0;
        double cash_plain = cash;
        for (int k = 0; k < 12; ++k) {
            double value = 0.0;  // a negative balance closes everything
            if (!(balance < 0.0)) {
                value = w[static_cast<std::size_t>(k)] * ratio;
                const double cap = limit * balance;
                if (std::fabs(value) > cap) value = cap * (value > 0.0 ? 1.0 : -1.0);
            }
            cash_plain = engine::set_position(plain, cols, p_plain, k, value, cash_plain, fee, tax,
                                              {.drop_zero = true, .position_scale = balance});
        }
        CHECK(same(cash_fast, cash_plain) && fast.log == plain.log);
        CHECK(std::equal(p_fast.begin(), p_fast.end(), p_plain.begin(), p_plain.end(),
                         [](auto& a, auto& b) { return a.first == b.first && same(a.second, b.second); }));
    }
}

// ---------------------------------------------------------------------------------------------
// Exit levels and what a row's prices do against them, without a run

// Options of 0.25 (stop-loss, take-profit, trailing distance) and activation 0.125: all levels and
// sums below are exact binary fractions.
engine::StopLevels quarter_levels() {
    engine::Options o;
    o.stop_loss = -0.25;  // the sign of every option is ignored
    o.take_profit = 0.25;
    o.trail_stop = 0.25;
    o.trail_stop_activation = -0.125;
    return engine::StopLevels(o);
}

void check_exit_levels() {
    const engine::StopLevels levels = quarter_levels();
    struct Case {
        double base_value, max_ratio, min_ratio;
        bool is_long;
        double upper, lower;
    };
    const Case cases[] = {
        // long: upper the take-profit 1.25, lower the stop-loss 0.75 until the trail is active
        // (max >= 1.125) and max - 0.25 lies above it
        {1.0, 1.0, 1.0, true, 1.25, 0.75},
        {1.0, 1.0625, 1.0, true, 1.25, 0.75},  // trail not yet active
        {1.0, 1.125, 1.0, true, 1.25, 0.875},  // active exactly at the activation level
        {1.0, 1.5, 0.5, true, 1.25, 1.25},     // the trail may reach the take-profit
        // short (base value 0 or less, NaN too): upper the stop-loss 1.25, trailing min + 0.25 once
        // min <= 0.875; lower the take-profit 0.75
        {-1.0, 1.0, 1.0, false, 1.25, 0.75},
        {0.0, 1.0, 0.875, false, 1.125, 0.75},
        {nan, 1.0, 0.9375, false, 1.25, 0.75},  // trail not yet active
        {-1.0, 2.0, 0.5, false, 0.75, 0.75},
    };
    for (const Case& c : cases) {
        const engine::ExitLevels e = engine::exit_levels(levels, {c.base_value, c.max_ratio, c.min_ratio});
        CHECK(e.is_long == c.is_long && e.upper == c.upper && e.lower == c.lower);
    }
    // A trail tighter than the trailing distance allows never loosens the fixed stop: with stop-loss
    // 0.0625 (lower 0.9375) a long at max 1.125 keeps 0.9375 rather than 0.875.
    engine::Options tight;
    tight.stop_loss = 0.0625;
    tight.take_profit = inf;
    tight.trail_stop = 0.25;
    const engine::ExitLevels e = engine::exit_levels(engine::StopLevels(tight), {1.0, 1.125, 1.0});
    CHECK(e.lower == 0.9375 && e.upper == inf);
}

void check_touched_exit_rules() {
    const engine::ExitLevels long_levels{.is_long = true, .upper = 1.25, .lower = 0.75};
    struct Case {
        double base_value, open, high, low;
        bool fired, at_open, at_upper;
        double fill;
        StopSide side;
    };
    const Case cases[] = {
        {2.0, 1.0, 1.125, 0.875, false, false, false, 0.0, StopSide::take_profit},  // inside both levels
        {2.0, 1.5, 1.5, 1.0, true, true, true, 3.0, StopSide::take_profit},         // open above: at the open
        {2.0, 0.5, 1.0, 0.5, true, true, false, 1.0, StopSide::stop_loss},          // open below: at the open
        {2.0, 1.0, 1.25, 1.0, true, false, true, 2.5, StopSide::take_profit},       // high exactly at upper
        {2.0, 1.0, 1.0, 0.75, true, false, false, 1.5, StopSide::stop_loss},        // low exactly at lower
        // both touched, open inside: filled at upper, recorded on the stop-loss side
        {2.0, 1.0, 1.5, 0.5, true, false, true, 2.5, StopSide::stop_loss},
        // open above upper with the low below lower: filled at the open, still the stop-loss side
        {2.0, 1.5, 1.5, 0.5, true, true, true, 3.0, StopSide::stop_loss},
    };
    for (const Case& c : cases) {
        const engine::TouchedExit t = engine::touched_exit(long_levels, c.base_value, c.open, c.high, c.low);
        CHECK(t.fired == c.fired && t.at_open == c.at_open && t.at_upper == c.at_upper);
        if (c.fired) CHECK(t.fill_value == c.fill && t.side == c.side);
    }
    // A short (base value -2) touching its stop above: bought back at -2 x 1.25, the stop-loss side;
    // touching its take-profit below: -2 x 0.75, the take-profit side. A NaN price touches nothing.
    const engine::ExitLevels short_levels{.is_long = false, .upper = 1.25, .lower = 0.75};
    const engine::TouchedExit up = engine::touched_exit(short_levels, -2.0, 1.0, 1.5, 1.0);
    CHECK(up.fired && up.fill_value == -2.5 && up.side == StopSide::stop_loss);
    const engine::TouchedExit down = engine::touched_exit(short_levels, -2.0, 1.0, 1.0, 0.5);
    CHECK(down.fired && down.fill_value == -1.5 && down.side == StopSide::take_profit);
    CHECK(!engine::touched_exit(short_levels, -2.0, nan, nan, nan).fired);
}

void check_close_crossing_and_reason() {
    const engine::ExitLevels e{.is_long = true, .upper = 1.25, .lower = 0.75};
    // At or above upper: take-profit side; strictly below lower: stop-loss; exactly at lower or NaN: none.
    CHECK(engine::close_crossing(e, 1.25) == StopSide::take_profit);
    CHECK(engine::close_crossing(e, 0.5) == StopSide::stop_loss);
    CHECK(!engine::close_crossing(e, 0.75).has_value() && !engine::close_crossing(e, nan).has_value());

    const engine::StopLevels levels = quarter_levels();  // fixed stops: a long's 0.75, a short's 1.25
    using engine::FillReason;
    CHECK(engine::stop_reason(levels, e, true) == FillReason::take_profit);
    CHECK(engine::stop_reason(levels, e, false) == FillReason::stop_loss);
    CHECK(engine::stop_reason(levels, {true, 1.25, 0.875}, false) == FillReason::trail_stop);
    // a short: the upper level is its stop, the lower one its take-profit
    CHECK(engine::stop_reason(levels, {false, 1.25, 0.75}, true) == FillReason::stop_loss);
    CHECK(engine::stop_reason(levels, {false, 1.125, 0.75}, true) == FillReason::trail_stop);
    CHECK(engine::stop_reason(levels, {false, 1.125, 0.75}, false) == FillReason::take_profit);
}

// ---------------------------------------------------------------------------------------------
// Whole runs on tiny markets: one row per day, dates 0, 1, 2, ...

struct Tiny {
    std::int64_t rows, cols;
    std::vector<double> price, close, high, low, open;  // row-major rows x cols
    std::vector<double> pos = {1.0};                    // row-major pos_index.size() x pos_cols
    std::int64_t pos_cols = 1;
    std::vector<std::int64_t> price_index, pos_index = {0}, resample = {0}, delisting;
    ColumnMap columns = {{0, 0}};
    std::int64_t n_labels = 1;
    engine::Options options;

    Tiny(std::int64_t n_cols, std::vector<double> prices) : rows(0), cols(n_cols), price(std::move(prices)) {
        rows = static_cast<std::int64_t>(price.size()) / cols;
        close = high = low = open = price;
        for (std::int64_t i = 0; i < rows; ++i) price_index.push_back(i);
        // backtest_'s defaults, but without costs
        options.fee_ratio = options.tax_ratio = 0.0;
        options.stop_loss = 1.0;
        options.take_profit = options.trail_stop = inf;
        options.position_limit = 1.0;
    }
};

numeric::Strided2D view(const std::vector<double>& v, std::int64_t rows, std::int64_t cols) {
    return {reinterpret_cast<const char*>(v.data()), rows, cols, cols * 8, 8};
}

using checks::view;

struct Result {
    FakeHost host;
    engine::RunOutcome out;
    std::vector<double> values;
    bool failed = false;
};

Result run(const Tiny& t, bool stop_trading = true, engine::FillLog* ledger = nullptr) {
    Result r;
    r.host.stop_trading = stop_trading;
    r.host.ledger = ledger;
    engine::Market m;
    m.price = view(t.price, t.rows, t.cols);
    m.close = view(t.close, t.rows, t.cols);
    m.high = view(t.high, t.rows, t.cols);
    m.low = view(t.low, t.rows, t.cols);
    m.open = view(t.open, t.rows, t.cols);
    m.price_index = view(t.price_index);
    m.pos_values = view(t.pos, static_cast<std::int64_t>(t.pos.size()) / t.pos_cols, t.pos_cols);
    m.pos_index = view(t.pos_index);
    m.resample = view(t.resample);
    m.n_labels = t.n_labels;
    m.has_delisting_bars = !t.delisting.empty();
    m.delisting_bars = view(t.delisting);
    r.host.pos_values = &m.pos_values;
    r.values.assign(t.price_index.size(), -99.0);
    try {
        r.out = engine::run_backtest(m, t.options, t.columns, r.host, r.values.data());
    } catch (const HostFailure&) {
        r.failed = true;
    } catch (const numeric::Error& e) {
        r.failed = true;
        r.host.error = e.message;
    }
    return r;
}

void check_buy_and_hold() {
    // Row 0 lies before the position date 1 (value 1, no recorder call). The position row is current
    // at the end of row 1 and traded on row 2 at 16: holding 1 - 1/64 = 0.984375, cash 0. Then ratios
    // 12/16 and 6/12 give 0.73828125 and 0.369140625; row 4 is valued at close 7: x 7/6 = 0.4306640625.
    Tiny t(1, {8, 8, 16, 12, 6});
    t.close[4] = 7;
    t.pos_index = {1};
    t.resample = {1};
    t.options.fee_ratio = 0.015625;
    t.options.tax_ratio = 0.03125;
    const Result r = run(t);
    CHECK(!r.failed);
    CHECK((r.values == std::vector<double>{1.0, 1.0, 0.984375, 0.73828125, 0.4306640625}));
    CHECK((r.host.log == Log{"date 1", "date 2", "entry 0 1 1", "date 3", "date 4", "end 1"}));
    CHECK(r.out.positions.at(0) == 0.369140625 && r.out.cash == 0.0 && r.out.last_rebalanced_pos_id == 0);
}

void check_close_stop() {
    // stop_loss 0.1: row 2 closes at 85 against a basis of 100 (ratio 0.85 < 0.9), so the stock is sold
    // on row 3 at its trading price 80: cash 0.8, recorded on the stop-loss side. Row 3 detects the
    // stop again before selling; that detection is dropped, so nothing is due after the last row.
    Tiny t(1, {100, 100, 95, 80});
    t.close[2] = 85;
    t.options.stop_loss = 0.1;
    const Result r = run(t);
    CHECK(near(r.values[2], 0.85) && near(r.values[3], 0.8));
    CHECK((r.host.log == Log{"date 0", "date 1", "entry 0 1 1", "date 2", "date 3", "exit 0 1", "end 0"}));
    CHECK((r.out.stop_exits == std::vector<StopEntry>{{0, StopSide::stop_loss}}) && r.out.positions.empty());
    CHECK(r.out.exits_due.empty());

    t = Tiny(1, {100, 100, 95, 80, 120});
    t.close[2] = 85;
    t.options.stop_loss = 0.1;
    // A second position row (weight 1 again) rebalances on row 3 too. With stop_trading_next_period
    // false the rebalance keeps the stock: no stop exit, only the re-basing at 0.8 / 0.8 = 1; row 4
    // then carries it from 80 to 120: 1.2. (Row 3 closes at 100 so that it detects no new stop.)
    t.close[3] = 100;
    t.pos = {1.0, 1.0};
    t.pos_index = {0, 2};
    t.resample = {0, 2};
    const Result keep = run(t, false);
    CHECK((keep.host.log ==
           Log{"date 0", "date 1", "entry 0 1 1", "date 2", "date 3", "exit 0 0", "entry 0 1 0", "date 4", "end 1"}));
    CHECK(keep.out.stop_exits.empty() && near(keep.out.positions.at(0), 1.2) && near(keep.values[4], 1.2));
    CHECK(keep.host.stop_trading_asked == 3);  // row 1: step 5; row 3: the keep test and step 5
    // With it true the stop executes and the stopped stock is zeroed out of the rebalance's target.
    const Result stop = run(t, true);
    CHECK((stop.host.log == Log{"date 0", "date 1", "entry 0 1 1", "date 2", "date 3", "exit 0 1", "date 4", "end 0"}));
    CHECK(stop.out.last_target_is_copy && (stop.out.last_target_copy == std::vector<double>{0.0}));
    CHECK(near(stop.out.cash, 0.8) && stop.out.stop_exits.empty());
}

void check_touched_exits() {
    // Bought at 100 on row 1; take_profit and stop_loss 0.25 (upper 1.25, lower 0.75, both exact).
    // Row 2 trades at 110 while high, low and open are measured from 100; a touch exactly at a level
    // counts. Fill = base value 1 x the level (or the open's ratio); cash 0 marks no touch.
    struct Case {
        double open, high, low, cash;
        StopSide side;
    };
    const Case cases[] = {
        {130, 130, 95, 1.3, StopSide::take_profit},   // open beyond upper: filled at the open
        {75, 100, 70, 0.75, StopSide::stop_loss},     // open at lower: filled at the open
        {100, 125, 95, 1.25, StopSide::take_profit},  // high exactly at upper
        {100, 105, 75, 0.75, StopSide::stop_loss},    // low exactly at lower
        {100, 130, 70, 1.25, StopSide::stop_loss},    // both: filled at upper, recorded as a stop-loss
        {100, 124, 76, 0.0, StopSide::stop_loss},     // nothing touched: held at 1.1
    };
    for (const Case& c : cases) {
        Tiny t(1, {100, 100, 110});
        t.open[2] = c.open;
        t.high[2] = c.high;
        t.low[2] = c.low;
        t.options.touched_exit = true;
        t.options.take_profit = 0.25;
        t.options.stop_loss = 0.25;
        const Result r = run(t);
        if (c.cash == 0.0) {
            CHECK(r.out.stop_exits.empty() && near(r.out.positions.at(0), 1.1) && near(r.values[2], 1.1));
        } else {
            CHECK(r.values[2] == c.cash);
            CHECK((r.out.stop_exits == std::vector<StopEntry>{{0, c.side}}));
            CHECK(r.out.positions.at(0) == 0.0 && r.out.cash == c.cash);  // key stays at 0
            CHECK(r.host.log[3] == "date 2" && r.host.log[4] == "exit 0 1");
        }
    }
    // A short of -1 (cash 2) whose high touches its stop at 1.25: bought back at -1.25, stop-loss side.
    Tiny t(1, {100, 100, 100});
    t.pos = {-1.0};
    t.high[2] = 130;
    t.options.touched_exit = true;
    t.options.stop_loss = 0.25;
    const Result r = run(t);
    CHECK(r.out.cash == 0.75 && (r.out.stop_exits == std::vector<StopEntry>{{0, StopSide::stop_loss}}));
}

// The first `n` elements of a fill log column.
template <class T>
std::vector<T> first(const engine::Column<T>& column, std::size_t n) {
    if (column.data() == nullptr) return {};
    return std::vector<T>(column.data(), column.data() + n);
}

void check_trade_options_reach_the_fill_log() {
    // What the log records of a change comes from that trade's own options: no state of an earlier
    // trade carries over. Trading prices 8 and 16 on the one row, fee and tax 0.
    const std::vector<double> prices{8.0, 16.0};
    engine::FillLog ledger;
    ledger.start(2, view(prices, 1, 2));
    ledger.set_row(0);
    FakeHost h;
    h.ledger = &ledger;
    const auto cols = one_to_one(2);
    PositionMap p;
    using engine::FillReason;
    // An intraday exit's reason and fill price; the balance is cash + holdings before it: 8 + 0.
    double cash = engine::set_position(h, cols, p, 0, 4.0, 8.0, 0.0, 0.0);
    cash = engine::set_position(h, cols, p, 0, 0.0, cash, 0.0, 0.0,
                                {.check_held = false, .reason = FillReason::take_profit, .fill_price = 5.0});
    // A rebalance's balance, then a delisting with neither: the trading price 16 and cash + holdings 8.
    cash = engine::set_position(h, cols, p, 1, 2.0, cash, 0.0, 0.0, {.balance = 2.5});
    cash = engine::set_position(h, cols, p, 1, 0.0, cash, 0.0, 0.0, {.reason = FillReason::delisted});
    const auto& f = ledger.fills();
    CHECK(f.size() == 4 && cash == 8.0);
    if (f.size() == 4) {
        auto reason = [&](std::size_t k) { return static_cast<FillReason>(f.reason[k]); };
        CHECK(reason(0) == FillReason::rebalance && f.price[0] == 8.0 && f.balance[0] == 8.0);
        CHECK(reason(1) == FillReason::take_profit && f.price[1] == 5.0 && f.balance[1] == 8.0);
        CHECK(reason(2) == FillReason::rebalance && f.price[2] == 16.0 && f.balance[2] == 2.5);
        CHECK(reason(3) == FillReason::delisted && f.price[3] == 16.0 && f.balance[3] == 8.0);
    }
}

void check_fill_log_trades() {
    // Fee 1/64, tax 1/32 (all sums below are exact). Weight 1 bought on row 1 at 64: holding 63/64,
    // cash 0. Weight 1/4 on row 2, no price move: the target is 63/256, so 189/256 is sold at 3/64,
    // costs 567/16384. The first trade paid 1, hands 63/64 on and pays the cut's costs:
    // pnl -1 + 63/64 - 567/16384 = -823/16384. The second paid 63/256 for a holding still worth
    // 63/256 at the end: pnl 0, basis 63/256.
    Tiny t(1, {64, 64, 64, 64});
    t.pos = {1.0, 0.25};
    t.pos_index = {0, 1};
    t.resample = {0, 1};
    t.options.fee_ratio = 0.015625;
    t.options.tax_ratio = 0.03125;
    engine::FillLog ledger;
    const Result cut = run(t, true, &ledger);
    const auto& trades = ledger.trades();
    CHECK(!cut.failed && trades.size() == 2);
    if (trades.size() == 2) {
        CHECK(trades.exit_row[0] == 2 && trades.pnl[0] == -823.0 / 16384 && trades.basis[0] == 1.0);
        CHECK(trades.exit_row[1] == -1 && trades.pnl[1] == 0.0 && trades.basis[1] == 63.0 / 256);
        CHECK(trades.pnl[0] + trades.pnl[1] == cut.values.back() - 1.0);
    }

    // An intraday exit filled at exactly 0 (an open of 0 under a 25 % stop): the holding is at 0
    // before the trade primitive sees it, so the recorder hears of no exit. The log still closes the
    // trade on row 2 at price 0 with the whole loss, and logs the fill.
    Tiny z(1, {100, 100, 110});
    z.open[2] = 0.0;
    z.options.touched_exit = true;
    z.options.stop_loss = 0.25;
    const Result zero = run(z, true, &ledger);
    CHECK((zero.host.log == Log{"date 0", "date 1", "entry 0 1 1", "date 2", "end 1"}) && zero.values[2] == 0.0);
    CHECK(ledger.trades().size() == 1 && ledger.fills().size() == 2);
    if (ledger.trades().size() == 1 && ledger.fills().size() == 2) {
        const engine::TradeColumns& trade = ledger.trades();
        CHECK(trade.listed[0] == engine::Flag::no && trade.exit_row[0] == 2 && trade.pnl[0] == -1.0 &&
              trade.exit_price[0] == 0.0);
        CHECK(static_cast<engine::FillReason>(trade.reason[0]) == engine::FillReason::stop_loss &&
              ledger.fills().price[1] == 0.0);
    }
}

void check_fill_log_kept_columns() {
    // A log kept compact holds the same records with int32 rows and stock indices; one kept for the
    // statistics writes their eight columns alone, the others staying empty. Weight 1, then 1/4,
    // then 0 on flat prices: three fills and two trades (the first cut to the second, which closes).
    Tiny t(1, {64, 64, 64, 64, 64});
    t.pos = {1.0, 0.25, 0.0};
    t.pos_index = {0, 1, 2};
    t.resample = {0, 1, 2};
    t.options.fee_ratio = 0.015625;
    engine::FillLog all, compact, lean;
    compact.keep(engine::IndexWidth::compact, engine::LogColumns::all);
    lean.keep(engine::IndexWidth::wide, engine::LogColumns::statistics);
    run(t, true, &all);
    run(t, true, &compact);
    run(t, true, &lean);
    const engine::TradeColumns &a = all.trades(), &c = compact.trades(), &l = lean.trades();
    const engine::FillColumns &fa = all.fills(), &fc = compact.fills(), &fl = lean.fills();
    CHECK(a.size() == 2 && fa.size() == 3 && c.size() == 2 && fc.size() == 3 && l.size() == 2 && fl.size() == 3);
    if (a.size() != 2 || fa.size() != 3) return;
    using I32 = std::vector<std::int32_t>;
    CHECK(c.entry_row.compact() && c.entry_row.wide().data() == nullptr);
    CHECK(first(c.entry_row.narrow(), 2) == (I32{1, 2}) && first(c.exit_row.narrow(), 2) == (I32{2, 3}));
    CHECK(first(c.sid.narrow(), 2) == (I32{0, 0}) && first(fc.row.narrow(), 3) == (I32{1, 2, 3}));
    CHECK(first(c.pnl, 2) == first(a.pnl, 2) && first(c.listed, 2) == first(a.listed, 2));
    CHECK(first(c.reason, 2) == first(a.reason, 2) && first(fc.fee, 3) == first(fa.fee, 3));
    CHECK(first(l.entry_row.wide(), 2) == first(a.entry_row.wide(), 2));
    CHECK(first(l.exit_row.wide(), 2) == first(a.exit_row.wide(), 2));
    CHECK(first(l.pnl, 2) == first(a.pnl, 2) && first(l.basis, 2) == first(a.basis, 2));
    CHECK(first(fl.value_before, 3) == first(fa.value_before, 3) && first(fl.fee, 3) == first(fa.fee, 3));
    CHECK(first(fl.value_after, 3) == first(fa.value_after, 3) && first(fl.tax, 3) == first(fa.tax, 3));
    // Never written: no block at all.
    CHECK(l.sid.wide().data() == nullptr && l.position.data() == nullptr && l.entry_price.data() == nullptr);
    CHECK(l.exit_price.data() == nullptr && l.reason.data() == nullptr && l.listed.data() == nullptr);
    CHECK(fl.row.wide().data() == nullptr && fl.sid.wide().data() == nullptr && fl.reason.data() == nullptr);
    CHECK(fl.balance.data() == nullptr && fl.price.data() == nullptr);
}

void check_fill_log_growth() {
    // 2,000 rows, from row 100 on each buying and selling the same 10 stocks: 20 fills and 10 trades
    // a row, 38,000 fills in all. A list that doubled would grow 12 times on the way (from 16); one
    // that sizes itself from its pace grows a few times early on and then has room to the end.
    constexpr int rows = 2000, stocks = 10;
    const std::vector<double> prices(static_cast<std::size_t>(rows) * stocks, 4.0);
    engine::FillLog ledger;
    ledger.start(stocks, view(prices, rows, stocks));
    FakeHost h;
    h.ledger = &ledger;
    const auto cols = one_to_one(stocks);
    PositionMap p;
    double cash = 1.0;
    int fill_grows = 0, trade_grows = 0;
    std::size_t fills_room = 0, trades_room = 0;
    for (int row = 100; row < rows; ++row) {
        ledger.set_row(row);
        for (int sid = 0; sid < stocks; ++sid) {
            cash = engine::set_position(h, cols, p, sid, 0.0625, cash, 0.0, 0.0);
            cash = engine::set_position(h, cols, p, sid, 0.0, cash, 0.0, 0.0);
            if (ledger.fills().room != fills_room) ++fill_grows, fills_room = ledger.fills().room;
            if (ledger.trades().room != trades_room) ++trade_grows, trades_room = ledger.trades().room;
        }
    }
    CHECK(ledger.fills().size() == 38000 && ledger.trades().size() == 19000 && cash == 1.0);
    CHECK(fill_grows <= 4 && trade_grows <= 4);
}

void check_close_levels() {
    // Close-based levels (0.25 each): a close exactly at lower is no exit, exactly at upper is one.
    for (double close : {75.0, 125.0}) {
        Tiny t(1, {100, 100, 100, 100});
        t.close[2] = close;
        t.options.take_profit = 0.25;
        t.options.stop_loss = 0.25;
        const Result r = run(t);
        CHECK(r.out.positions.empty() == (close == 125.0));
    }
}

void check_schedule() {
    // Every row is flagged; the second position row is dated 2, a price date, so it becomes current
    // at the end of row 2 (the next date 3 is strictly later) and is traded on row 3.
    Tiny t(1, {100, 100, 100, 100});
    t.pos = {1.0, 0.5};
    t.pos_index = {0, 2};
    t.resample = {0, 1, 2, 3};
    const Result r = run(t);
    CHECK((r.host.log ==
           Log{"date 0", "date 1", "entry 0 1 1", "date 2", "date 3", "exit 0 0", "entry 0 0.5 0", "end 1"}));
    CHECK(r.out.pos_id == 1 && r.out.last_rebalanced_pos_id == 1 && !r.out.rebalance_due);
}

void check_missing_prices() {
    // A NaN trading price keeps the holding (ratio 1) and its valuation; the next valid price is
    // measured from the last valid one: 1.0, 1.0, then 120 / 100.
    Tiny t(1, {100, 100, nan, 120});
    const Result r = run(t);
    CHECK(r.values[2] == 1.0 && near(r.values[3], 1.2));
    // Bought on a NaN trading price: the next row measures from its own price, so its high of 130
    // touches take_profit 0.25 and the holding is filled at 1.25.
    Tiny u(1, {100, nan, 100});
    u.high[2] = 130;
    u.options.touched_exit = true;
    u.options.take_profit = 0.25;
    const Result ru = run(u);
    CHECK(ru.values[2] == 1.25 && (ru.out.stop_exits == std::vector<StopEntry>{{0, StopSide::take_profit}}));
}

void check_short_and_trailing() {
    {  // A short of -1 at 100 (cash 2) falls to 70: below take_profit's lower level 0.75, recorded on
       // the stop-loss side (the crossing's side), bought back on row 3 at 70: cash 2 - 0.7.
        Tiny t(1, {100, 100, 70, 70});
        t.pos = {-1.0};
        t.options.take_profit = 0.25;
        const Result r = run(t);
        CHECK(near(r.values[2], 1.3) && near(r.out.cash, 1.3) && r.out.positions.empty());
        CHECK((r.out.stop_exits == std::vector<StopEntry>{{0, StopSide::stop_loss}}));
    }
    {  // A short with trailing stop 0.1 active from 0.95: 80 (min 0.8, stop level 0.9), then 92 closes
       // at or above 0.9, the take-profit side of the crossing; bought back on row 4 at 92.
        Tiny t(1, {100, 100, 80, 92, 92});
        t.pos = {-1.0};
        t.options.trail_stop = 0.1;
        t.options.trail_stop_activation = 0.05;
        const Result r = run(t);
        CHECK(r.out.positions.empty() && near(r.out.cash, 2.0 - 0.92));
        CHECK((r.out.stop_exits == std::vector<StopEntry>{{0, StopSide::take_profit}}));
    }
    {  // retain_cost_when_rebalance: a long flipped to a short starts from a fresh basis. With the
       // stale ratio 1.2 the short's stop (1 + 0.1) would fire at once.
        Tiny t(1, {100, 100, 120, 120, 120, 120});
        t.pos = {1.0, -1.0};
        t.pos_index = {0, 2};
        t.resample = {0, 2};
        t.options.retain_cost_when_rebalance = true;
        t.options.stop_loss = 0.1;
        const Result r = run(t);
        CHECK(r.out.stop_exits.empty() && r.out.positions.at(0) < 0.0);
    }
    // Trailing stop 0.1 active from 1.05. Bought at 100 on row 1, 120 on row 2 (max 1.2, trail level
    // 1.1), rebalanced to the same weight on row 3, 108 on row 4 (ratio 1.08 from the first basis).
    struct Case {
        bool retain;
        double stop_loss;
        bool stopped;
    };
    const Case cases[] = {
        {true, 1.0, true},    // the basis survives the rebalance: 1.08 < 1.1 stops
        {false, 1.0, false},  // fresh basis at 120: ratio 0.9, trail inactive, no stop
        {false, 0.05, true},  // fresh basis: 0.9 < 0.95 stops
    };
    for (const Case& c : cases) {
        Tiny t(1, {100, 100, 120, 120, 108, 100});
        t.pos = {1.0, 1.0};
        t.pos_index = {0, 2};
        t.resample = {0, 2};
        t.options.trail_stop = 0.1;
        t.options.trail_stop_activation = 0.05;
        t.options.retain_cost_when_rebalance = c.retain;
        t.options.stop_loss = c.stop_loss;
        const Result r = run(t);
        CHECK(r.out.positions.empty() == c.stopped && r.out.stop_exits.size() == (c.stopped ? 1u : 0u));
    }
}

void check_delisting() {
    // Bought at 100 on row 1, delisted on row 2 at 110: cash 1.1, key erased, not a stop exit.
    Tiny t(1, {100, 100, 110, 50});
    t.delisting = {2};
    const Result r = run(t);
    CHECK(near(r.values[2], 1.1) && near(r.values[3], 1.1) && r.out.positions.empty());
    CHECK(r.out.stop_exits.empty() && r.host.log[4] == "exit 0 1");
    t.delisting = {-1};  // a negative bar means never
    CHECK(near(run(t).values[3], 0.5));
    // A key left at 0 by a touched exit on row 2 is not delisted on row 3: it stays, nothing recorded.
    t.delisting = {3};
    t.high[2] = 130;
    t.options.touched_exit = true;
    t.options.take_profit = 0.25;
    const Result z = run(t);
    CHECK(z.out.positions.at(0) == 0.0 && std::count(z.host.log.begin(), z.host.log.end(), "exit 0 1") == 1);
}

void check_shared_price_column() {
    // Two position columns priced by the same column: both holdings double when the price does.
    Tiny t(1, {10, 10, 20});
    t.pos = {0.5, 0.5};
    t.pos_cols = 2;
    t.columns = {{0, 0}, {1, 0}};
    t.n_labels = 2;
    const Result r = run(t);
    CHECK(r.values[2] == 2.0 && r.out.positions.at(0) == 1.0 && r.out.positions.at(1) == 1.0);
}

void check_run_errors() {
    {  // no position dates: the first row fails before any recorder call
        Tiny t(1, {1, 1});
        t.pos_index.clear();
        const Result r = run(t);
        CHECK(r.failed && r.host.error == "Out of bounds on buffer access (axis 0)" && r.host.log.empty());
    }
    {  // a price column past the price matrix: axis 1 when the holding is first valued
        Tiny t(1, {1, 1});
        t.columns = {{0, 3}};
        const Result r = run(t);
        CHECK(r.failed && r.host.error == "Out of bounds on buffer access (axis 1)");
    }
    {  // fewer price rows than dates: axis 0 (row 1 rebalances and copies the missing price row)
        Tiny t(1, {1, 1});
        t.price_index.push_back(2);
        t.rows = 1;
        const Result r = run(t);
        CHECK(r.failed && r.host.error == "Out of bounds on buffer access (axis 0)");
    }
    {  // a zero trading price while held
        Tiny t(1, {1, 1, 0});
        const Result r = run(t);
        CHECK(r.failed && r.host.error == "invalid price 0 for 0 at row 2");
        CHECK((r.host.frames == Log{"validate_trade_price"}));
    }
    {  // a stock without a price column is refused when first bought
        Tiny t(1, {1, 1});
        t.columns.clear();
        const Result r = run(t);
        CHECK(r.failed && r.host.error == "no price column for 0");
        CHECK((r.host.frames == Log{"set_position", "rebalance"}) && (r.host.log == Log{"date 0", "date 1"}));
    }
    {  // a delisting table shorter than the position columns: axis 0 once stock 1 is held
        Tiny t(1, {1, 1});
        t.pos = {0.0, 1.0};
        t.pos_cols = 2;
        t.columns = {{0, 0}, {1, 0}};
        t.n_labels = 2;
        t.delisting = {0};
        const Result r = run(t);
        CHECK(r.failed && r.host.error == "Out of bounds on buffer access (axis 0)");
    }
    {  // no price rows: resample dates flag nothing, the run only ends the analysis
        Tiny t(1, {});
        const Result r = run(t);
        CHECK(!r.failed && (r.host.log == Log{"end 0"}));
    }
}

}  // namespace

// The holdings container must behave as the ordered map it replaces: random inserts (with and
// without a hint), erases, lookups and copies, compared with std::map after every step.
void check_position_map_against_map() {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> key(-3, 40);
    std::uniform_int_distribution<int> action(0, 5);
    for (int round = 0; round < 200; ++round) {
        PositionMap flat;
        std::map<int, double> reference;
        for (int step = 0; step < 60; ++step) {
            const int sid = key(rng);
            const double value = step * 0.5 - 7.0;
            switch (action(rng)) {
                case 0:
                    flat.try_emplace(sid, value);
                    reference.try_emplace(sid, value);
                    break;
                case 1:
                    flat.try_emplace(flat.lower_bound(sid), sid, value);
                    reference.try_emplace(reference.lower_bound(sid), sid, value);
                    break;
                case 2:
                    flat[sid] = value;
                    reference[sid] = value;
                    break;
                case 3: {
                    const auto found = flat.find(sid);
                    CHECK((found == flat.end()) == (reference.count(sid) == 0));
                    if (found != flat.end()) {
                        CHECK(found->second == reference.at(sid));
                        flat.erase(found);
                        reference.erase(sid);
                    }
                    break;
                }
                case 4: {
                    const auto at = flat.lower_bound(sid);
                    const auto expected = reference.lower_bound(sid);
                    CHECK((at == flat.end()) == (expected == reference.end()));
                    if (at != flat.end() && expected != reference.end()) CHECK(at->first == expected->first);
                    break;
                }
                default: {
                    const PositionMap copy = flat;
                    CHECK(copy == flat && copy.size() == flat.size());
                    break;
                }
            }
            CHECK(flat.size() == reference.size());
            CHECK(std::equal(flat.begin(), flat.end(), reference.begin(), reference.end(),
                             [](const auto& a, const auto& b) { return a.first == b.first && a.second == b.second; }));
        }
    }
    // A list with a repeated stock keeps its first value, in stock order.
    const PositionMap listed{{3, 1.0}, {1, 2.0}, {3, 5.0}};
    CHECK(listed.size() == 2 && listed.begin()->first == 1 && listed.at(3) == 1.0);
}

int main() {
    check_position_map_against_map();
    check_set_position();
    check_validate_trade_price();
    check_rebalance();
    check_rebalance_against_plain_walk();
    check_exit_levels();
    check_touched_exit_rules();
    check_close_crossing_and_reason();
    check_buy_and_hold();
    check_close_stop();
    check_touched_exits();
    check_trade_options_reach_the_fill_log();
    check_fill_log_trades();
    check_fill_log_kept_columns();
    check_fill_log_growth();
    check_close_levels();
    check_schedule();
    check_missing_prices();
    check_short_and_trailing();
    check_delisting();
    check_shared_price_column();
    check_run_errors();
    return checks::report("all engine checks");
}
