// The next-period actions of the end-of-run report: their codes (the native result path's `action`
// array) and their names (the report's "actions" dictionary), stated once for both and for Python.
#pragma once

#include <array>
#include <cstdint>

namespace zelvor::trevane::action {

enum Code : std::uint8_t { enter, exit, hold, sl, tp, sl_enter, tp_enter, sl_, tp_ };

// The name of each code, in code order.
inline constexpr std::array<const char*, 9> names{"enter",    "exit",     "hold", "sl", "tp",
                                                  "sl_enter", "tp_enter", "sl_",  "tp_"};
static_assert(names.size() == tp_ + 1);

}  // namespace zelvor::trevane::action
