// The portfolio's holdings: stock index (a position column) -> money value, kept as a vector sorted
// by stock. The daily loop walks every holding twice a row and a rebalance walks them in stock
// order beside the weight row, so contiguous storage beats a node-based map; inserts and erases
// (a rebalance's new and dropped stocks, a stop exit) shift at most a few hundred entries.
//
// The interface is the subset of std::map the engine uses, with one difference: inserting or
// erasing invalidates the iterators at and after that point (callers that change the holdings while
// walking them keep an index instead).
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <vector>

namespace zelvor::engine {

class PositionMap {
public:
    using value_type = std::pair<int, double>;  // (sid, money value)
    using iterator = std::vector<value_type>::iterator;
    using const_iterator = std::vector<value_type>::const_iterator;

    PositionMap() = default;
    // Entries in any order; a repeated stock keeps its first value, as a map built from the list would.
    PositionMap(std::initializer_list<value_type> entries) {
        for (const value_type& e : entries) try_emplace(e.first, e.second);
    }

    iterator begin() noexcept { return entries_.begin(); }
    iterator end() noexcept { return entries_.end(); }
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    void clear() noexcept { entries_.clear(); }
    void reserve(std::size_t n) { entries_.reserve(n); }

    // The first entry whose stock is not below `sid`.
    iterator lower_bound(int sid) noexcept {
        return std::lower_bound(entries_.begin(), entries_.end(), sid, key_below);
    }
    const_iterator lower_bound(int sid) const noexcept {
        return std::lower_bound(entries_.begin(), entries_.end(), sid, key_below);
    }
    iterator find(int sid) noexcept {
        const auto at = lower_bound(sid);
        return at != end() && at->first == sid ? at : end();
    }
    const_iterator find(int sid) const noexcept {
        const auto at = lower_bound(sid);
        return at != end() && at->first == sid ? at : end();
    }
    bool contains(int sid) const noexcept { return find(sid) != end(); }
    std::size_t count(int sid) const noexcept { return contains(sid) ? 1 : 0; }

    double& at(int sid) {
        const auto found = find(sid);
        if (found == end()) throw std::out_of_range("PositionMap::at");
        return found->second;
    }
    double at(int sid) const {
        const auto found = find(sid);
        if (found == end()) throw std::out_of_range("PositionMap::at");
        return found->second;
    }
    // The value of `sid`, inserted at 0 when missing.
    double& operator[](int sid) { return try_emplace(sid, 0.0)->second; }

    // Inserts (sid, value) unless `sid` is present; returns the entry of `sid`.
    iterator try_emplace(int sid, double value) { return try_emplace(lower_bound(sid), sid, value); }
    // The same, with `at` == lower_bound(sid) already at hand.
    iterator try_emplace(iterator at, int sid, double value) {
        if (at != end() && at->first == sid) return at;
        return entries_.emplace(at, sid, value);
    }
    iterator erase(iterator at) { return entries_.erase(at); }

    bool operator==(const PositionMap&) const = default;

private:
    static bool key_below(const value_type& entry, int sid) noexcept { return entry.first < sid; }

    std::vector<value_type> entries_;  // ascending stock, each stock once
};

}  // namespace zelvor::engine
