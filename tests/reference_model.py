"""Pure-Python reference model of one whole backtest run.

The model takes the same 25 arguments as ``zelvor.core.trevane.backtest_`` and
replays the run with Python floats, step by step in the engine's order, so that
the daily portfolio values, the recorded trades, their sizes, the excursion
statistics, the end-of-run operations dictionary and the trade-stock rows can
be compared with the native engine bit for bit.

It is written for readability, not speed: plain dicts for the holdings (walked
in ascending key order), lists of Python floats for the price matrices.  The
only NumPy arithmetic is the gross weight of a target row, which the engine
takes with ``numpy.abs(row).sum()`` as well.

Behaviour worth knowing when reading a failing comparison:

* a held position column whose label has no price column fails the run with
  ValueError the first time it would receive a non-zero holding;
* holdings that share a price column are all revalued against the reference
  price as it stood at the start of the row (the reference moves once the walk
  over the holdings is done);
* a negative balance at a rebalance makes every target value 0;
* the window arithmetic of the statistics uses unbounded Python ints.
"""

from __future__ import annotations

import math

import numpy as np
from market_fixtures import ARRAY_NAMES, bind

INF = float("inf")
NAN = float("nan")

SL = "sl"  # stop-loss side of a stop entry
TP = "tp"  # take-profit side of a stop entry


def _isnan(x):
    return x != x


def _div(a, b):
    """IEEE double division (inf / NaN instead of ZeroDivisionError)."""
    try:
        return a / b
    except ZeroDivisionError:
        if _isnan(a) or a == 0.0:
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)


def _truth(obj):
    return bool(obj)


# ---------------------------------------------------------------------------
# helpers that exist as functions in the engine too
# ---------------------------------------------------------------------------


def map_columns(price_columns, pos_columns):
    """Position column -> price column, matched by the UTF-8 bytes of the labels.

    A repeated price label maps to its last column; a position label without a
    price column has no entry.
    """
    name_to_price_column = {}
    for col, label in enumerate(price_columns):
        name_to_price_column[bytes(label.encode("UTF-8"))] = col
    column_map = {}
    for sid, label in enumerate(pos_columns):
        key = bytes(label.encode("UTF-8"))
        if key in name_to_price_column:
            column_map[sid] = name_to_price_column[key]
    return column_map


def normalize_weight(weights, position_limit):
    """Scale weights down to a gross sum of 1 (never up), then clip to +-limit."""
    weight_sum = 0.0
    for sid, _ in weights.items():
        weight_sum += abs(weights[sid])
    for sid in weights:
        if weight_sum > 1:
            weights[sid] *= 1 / weight_sum
    for sid in weights:
        if weights[sid] > position_limit:
            weights[sid] = position_limit
        elif weights[sid] < -position_limit:
            weights[sid] = -position_limit
    return weights


def validate_trade_price(price, label, row):
    if _isnan(price):
        return
    if price > 0 and price != INF:
        return
    text = label if isinstance(label, str) else format(label, "")
    raise ValueError(
        "Invalid trading price for "
        + text
        + " at price row "
        + str(row)
        + ": "
        + repr(float(price))
        + ". Expected a positive finite price; check the trading-price dataset."
    )


def resample_flags(price_index, resample):
    """Flag, for each resample date, the last price row not later than it.

    The cursor is shared by all resample dates and never moves back.
    """
    n = len(price_index)
    flags = [0] * n
    if n == 0:
        return flags
    j = 0
    for t in resample:
        while j + 1 < n and price_index[j + 1] <= t:
            j += 1
        flags[j] = 1
    return flags


# ---------------------------------------------------------------------------
# excursion statistics of one trade
# ---------------------------------------------------------------------------


def excursion_stats(
    price,
    close,
    pid,
    entry_row,
    exit_row,
    is_long,
    entry_transaction,
    exit_transaction,
    fee_ratio,
    tax_ratio,
    window,
    window_step,
):
    """Statistics array of one trade.

    ``price`` and ``close`` are row lists of floats (trading prices and closes).
    Six figures per group: mae, mfe, bmfe, mdd, profit_rows, trade_return.
    """
    n_rows = len(price)
    end_row = exit_row
    if window + entry_row > end_row:
        end_row = window + entry_row
    if end_row >= n_rows:
        end_row = n_rows - 1
    length = end_row - entry_row + 1

    entry_price = price[entry_row][pid]
    value_ratio = close[entry_row][pid]
    if entry_price == 0.0:
        raise ZeroDivisionError("float division")
    if is_long:
        value_ratio = value_ratio / entry_price
    else:
        value_ratio = 2.0 - value_ratio / entry_price
    if entry_transaction != 0:
        value_ratio = value_ratio * (1.0 - fee_ratio)

    value_track = [value_ratio]
    peak = [1.0 if 1.0 > value_ratio else value_ratio]
    trough = [1.0 if 1.0 < value_ratio else value_ratio]
    trough_row = [0]
    drawdown = [value_ratio - 1 if value_ratio - 1 < 0 else 0.0]
    gain_rows = [1.0 if value_ratio > 1.0 else 0.0]
    prev_close = close[entry_row][pid]

    for ith in range(entry_row + 1, end_row + 1):
        j = ith - entry_row - 1
        x = close[ith][pid]
        if not _isnan(x):
            if prev_close == 0.0:
                raise ZeroDivisionError("float division")
            r = x / prev_close
            if _isnan(r):
                prev_close = x
            else:
                if is_long:
                    value_ratio = value_ratio * r
                else:
                    value_ratio = 2.0 - (2.0 - value_ratio) * r
                prev_close = x
        peak.append(value_ratio if value_ratio > peak[j] else peak[j])
        if trough[j] > value_ratio:
            trough.append(value_ratio)
            trough_row.append(j)
        else:
            trough.append(trough[j])
            trough_row.append(trough_row[j])
        p = peak[j + 1]
        dd = _div(value_ratio, p) - 1.0
        drawdown.append(dd if drawdown[j] > dd else drawdown[j])
        gain_rows.append(gain_rows[j] + 1.0 if (not _isnan(x) and value_ratio > 1.0) else gain_rows[j])
        value_track.append(value_ratio)

    if exit_transaction != 0:
        if entry_row != end_row:
            exit_price = price[end_row][pid]
            exit_close = close[end_row][pid]
            if exit_close == 0.0:
                raise ZeroDivisionError("float division")
            if is_long:
                value_track[length - 1] = (exit_price / exit_close) * value_track[length - 1]
            else:
                value_track[length - 1] = 2.0 - (exit_price * (2.0 - value_track[length - 1])) / exit_close
        value_track[length - 1] = ((1.0 - fee_ratio) - tax_ratio) * value_track[length - 1]

    if window_step == 0:
        raise ZeroDivisionError("integer division or modulo by zero")
    q = (window - 1) // window_step
    stats = np.empty(6 * q + 12)
    stats.fill(-1)

    def figures(k):
        return (
            trough[k] - 1,
            peak[k] - 1,
            peak[trough_row[k]] - 1,
            drawdown[k],
            gain_rows[k],
            value_track[k] - 1,
        )

    # a negative window compares as a huge unsigned value: all rows count
    m = length if window < 0 else min(length, window)
    for s, k in enumerate(range(0, m, window_step)):
        for off, value in enumerate(figures(k)):
            if 6 * s + off >= len(stats):
                raise IndexError("Out of bounds on buffer access (axis 0)")
            stats[6 * s + off] = value
    diff = exit_row - entry_row
    kx = length - 1 if diff < 0 else min(length - 1, diff)
    n = len(stats)
    stats[n - 6 : n] = figures(kx)
    return stats


# ---------------------------------------------------------------------------
# the trade recorder
# ---------------------------------------------------------------------------


class Recorder:
    """Trade records, sizes and statistics of one run."""

    def __init__(self, price, close, pos2price, n, fee_ratio, tax_ratio, window, window_step):
        self.price = price
        self.close = close
        self.pos2price = dict(pos2price)
        self.window = window
        self.window_step = window_step
        self.fee_ratio = fee_ratio
        self.tax_ratio = tax_ratio
        self.date = 0
        self.entry = [0] * n
        self.position = [0.0] * n
        self.entry_transaction = [0] * n
        self.trades = []
        self.trade_positions = []
        self.stats = []

    def record_date(self, row):
        self.date = row

    def record_entry(self, sid, size, transaction):
        self.entry[sid] = self.date
        self.position[sid] = size
        self.entry_transaction[sid] = transaction

    def _record(self, sid, exit_row_in_record, transaction):
        self.trades.append([sid, self.entry[sid], exit_row_in_record])
        self.trade_positions.append(self.position[sid])
        pid = self.pos2price.setdefault(sid, 0)
        self.stats.append(
            excursion_stats(
                self.price,
                self.close,
                pid,
                self.entry[sid],
                self.date,
                self.position[sid] > 0,
                self.entry_transaction[sid],
                transaction,
                self.fee_ratio,
                self.tax_ratio,
                self.window,
                self.window_step,
            )
        )

    def record_exit(self, sid, transaction):
        self._record(sid, self.date, transaction)

    def end_analysis(self, positions):
        for sid in sorted(positions):
            if positions[sid] == 0.0:
                continue
            self._record(sid, -1, 0)


# ---------------------------------------------------------------------------
# the run
# ---------------------------------------------------------------------------


class ModelResult:
    def __init__(self, portfolio_value, recorder, stock_operations):
        self.portfolio_value = portfolio_value
        self.trades = recorder.trades
        self.trade_positions = recorder.trade_positions
        self.stats = recorder.stats
        self.stock_operations = stock_operations

    def trade_stock_rows(self, pos_columns, price_index, touched_exit):
        return trade_stock_rows(self.trades, self.trade_positions, pos_columns, price_index, touched_exit)


def trade_stock_rows(trades, trade_positions, pos_columns, price_index, touched_exit):
    """Nine-element rows: stock, entry date, exit date, entry signal date,
    exit signal date, position, period, entry row, exit row."""
    rows = []
    for i, t in enumerate(trades):
        e, x = t[1], t[2]
        rows.append(
            [
                pos_columns[t[0]],
                price_index[e],
                price_index[x] if x != -1 else -1,
                price_index[e - 1],
                (price_index[x] if touched_exit else price_index[x - 1]) if x != -1 else -1,
                trade_positions[i],
                x - e if x != -1 else len(price_index) - e,
                e,
                x,
            ]
        )
    return rows


class _Run:
    def __init__(self, a):
        self.a = a
        self.cash = 1.0
        self.positions = {}

    # -- set_position --------------------------------------------------------
    def set_position(self, sid, target, check_held=True, drop_zero=False, position_scale=1):
        a = self.a
        positions = self.positions
        cash = self.cash
        if target != 0 and sid not in a.col_map:
            raise ValueError(
                f"No price column for stock {a.pos_columns[sid]}: its label is not among the price columns."
            )
        known = (sid in positions) if check_held else True
        held = sid in positions and positions[sid] != 0
        if not held and target != 0:
            a.rec.record_entry(sid, float(target) / position_scale, 1)
        elif held and target == 0:
            a.rec.record_exit(sid, 1)
        elif held and target != 0 and not a.retain_cost and a.resample_flag:
            a.rec.record_exit(sid, 0)
            a.rec.record_entry(sid, float(target) / position_scale, 0)

        fee, tax = a.fee_ratio, a.tax_ratio
        if target == 0:
            if known:
                v = positions.setdefault(sid, 0.0)
                cash = cash + (v - (fee + tax) * abs(v))
                if drop_zero:
                    del positions[sid]
                else:
                    positions[sid] = 0.0
            return cash
        if not known:
            positions[sid] = 0.0
        v = positions.setdefault(sid, 0.0)
        diff = target - v
        if (target >= 0 and diff > 0) or (target <= 0 and diff < 0):
            rate = fee
        else:
            rate = fee + tax
        cost = rate * abs(diff)
        if diff > 0:
            positions[sid] = (diff - cost) + v
            cash = cash - diff
        else:
            positions[sid] = diff + v
            cash = cash + (-diff - cost)
        if drop_zero and positions[sid] == 0:
            del positions[sid]
        return cash

    # -- rebalance -----------------------------------------------------------
    def rebalance(self, target_weights):
        a = self.a
        # cash first, then every holding in ascending key order
        balance = self.cash
        for sid in sorted(self.positions):
            balance += self.positions[sid]
        s = float(np.abs(target_weights).sum())
        divisor = 1 if 1 > s else s
        ratio = balance / divisor
        if _isnan(ratio):
            ratio = 1.0
        cap = a.position_limit * balance
        for sid, w in enumerate(target_weights.tolist()):
            if balance < 0:
                # with a negative balance nothing can be financed: close everything
                value = 0.0
            else:
                value = w * ratio
                if abs(value) > cap:
                    value = cap * (1 if value > 0 else -1)
            self.cash = self.set_position(sid, value, check_held=True, drop_zero=True, position_scale=float(balance))


class _Args:
    pass


def run_backtest(*args, **kwargs):
    """Replay one ``backtest_`` call (its arguments as ``backtest_`` takes them); returns a :class:`ModelResult`."""
    p = bind(args, kwargs)
    for name in ARRAY_NAMES:
        if p[name] is None:
            raise TypeError(f"Argument '{name}' must not be None")
    price_values, pos_values, pos_columns = p["price_values"], p["pos_values"], p["pos_columns"]

    a = _Args()
    a.fee_ratio = float(p["fee_ratio"])
    a.tax_ratio = float(p["tax_ratio"])
    stop_loss = float(p["stop_loss"])
    take_profit = float(p["take_profit"])
    trail_stop = float(p["trail_stop"])
    trail_stop_activation = float(p["trail_stop_activation"])
    touched_exit = bool(p["touched_exit"])
    a.position_limit = float(p["position_limit"])
    # the two module flags that set_position reads
    a.retain_cost = bool(p["retain_cost_when_rebalance"])
    a.resample_flag = bool(p["periodically_rebalance"])
    stp = p["stop_trading_next_period"]
    window = int(p["quelmo_window"])
    window_step = int(p["quelmo_window_step"])

    price = np.asarray(price_values, dtype=np.float64).tolist()
    close = np.asarray(p["close_values"], dtype=np.float64).tolist()
    high = np.asarray(p["high_values"], dtype=np.float64).tolist()
    low = np.asarray(p["low_values"], dtype=np.float64).tolist()
    opn = np.asarray(p["open_values"], dtype=np.float64).tolist()
    pidx = [int(t) for t in p["price_index"]]
    posidx = [int(t) for t in p["pos_index"]]
    a.pos_columns = pos_columns

    # -- setup ----------------------------------------------------------------
    a.col_map = map_columns(p["price_columns"], pos_columns)
    n = len(pidx)
    n_pos_rows = len(posidx)
    m = pos_values.shape[1]
    p_cols = price_values.shape[1]
    portfolio_value = [0.0] * n
    cum_ratio = [1.0] * m
    max_ratio = [1.0] * m
    min_ratio = [1.0] * m
    ref_price = [1.0] * p_cols
    if p["delisting_bars"] is None:
        delist = None
        has_delisting = False
    else:
        delist = [int(x) for x in np.asarray(p["delisting_bars"])]
        has_delisting = any(x >= 0 for x in delist)
    flags = resample_flags(pidx, [int(t) for t in p["resample"]])
    rec = Recorder(price, close, a.col_map, len(pos_columns), a.fee_ratio, a.tax_ratio, window, window_step)
    a.rec = rec

    tp_up = 1 + abs(take_profit)
    tp_down = 1 - abs(take_profit)
    sl_down = 1 - abs(stop_loss)
    sl_up = 1 + abs(stop_loss)
    act_up = 1 + abs(trail_stop_activation)
    act_down = 1 - abs(trail_stop_activation)
    trail = abs(trail_stop)

    run = _Run(a)
    positions = run.positions
    last_positions = {}
    last_target = None
    pending_exits = []
    exits_due = []
    stop_exits = []
    pos_id = 0
    last_rebalanced_pos_id = -1
    rebalance_due = False
    date = None

    def reset_ratios(sid):
        cum_ratio[sid] = 1.0
        max_ratio[sid] = 1.0
        min_ratio[sid] = 1.0

    # -- daily loop -----------------------------------------------------------
    for i in range(n):
        date = pidx[i]
        if n_pos_rows == 0:
            raise IndexError("Out of bounds on buffer access (axis 0)")
        if date < posidx[0]:
            portfolio_value[i] = 1.0
            continue

        rec.record_date(i)

        # revalue every holding and look for stops; the reference prices move
        # only after the walk, so holdings sharing a price column see the same one
        ref_updates = []
        for sid in sorted(positions):
            col = a.col_map[sid]
            p = price[i][col]
            validate_trade_price(p, pos_columns[sid], i)
            ref = ref_price[col]
            if _isnan(ref):
                ref = p
            r = _div(p, ref)
            if _isnan(r):
                r = 1.0
            positions[sid] = positions[sid] * r
            cum_ratio[sid] = cum_ratio[sid] * r
            if cum_ratio[sid] > max_ratio[sid]:
                max_ratio[sid] = cum_ratio[sid]
            if cum_ratio[sid] < min_ratio[sid]:
                min_ratio[sid] = cum_ratio[sid]
            base_value = _div(positions[sid], cum_ratio[sid])
            if base_value > 0:
                upper = tp_up
                lower = sl_down
                if max_ratio[sid] >= act_up and max_ratio[sid] - trail > lower:
                    lower = max_ratio[sid] - trail
            else:
                upper = sl_up
                if min_ratio[sid] <= act_down and min_ratio[sid] + trail < upper:
                    upper = min_ratio[sid] + trail
                lower = tp_down

            if touched_exit:
                prior = _div(cum_ratio[sid], r)
                high_ratio = _div(prior * high[i][col], ref)
                low_ratio = _div(prior * low[i][col], ref)
                open_ratio = _div(prior * opn[i][col], ref)
                touched_lower = low_ratio <= lower
                touched_upper = high_ratio >= upper
                open_touched = open_ratio >= upper or open_ratio <= lower
                if open_touched:
                    positions[sid] = base_value * open_ratio
                elif touched_upper:
                    positions[sid] = base_value * upper
                elif touched_lower:
                    positions[sid] = base_value * lower
                if open_touched or touched_upper or touched_lower:
                    if (touched_lower and positions[sid] > 0) or (touched_upper and positions[sid] < 0):
                        stop_exits.append((sid, SL))
                    else:
                        stop_exits.append((sid, TP))
                    run.cash = run.set_position(sid, 0.0, check_held=False, drop_zero=False)
            else:
                close_ratio = _div(cum_ratio[sid] * close[i][col], p)
                if close_ratio >= upper:
                    pending_exits.append((sid, TP))
                elif close_ratio < lower:
                    pending_exits.append((sid, SL))

            if not _isnan(p):
                ref_updates.append((col, p))
        for col, p in ref_updates:
            ref_price[col] = p

        # exits detected on the previous row
        for entry in exits_due:
            sid = entry[0]
            keep = rebalance_due and not _truth(stp) and pos_values[pos_id, sid] != 0
            if sid in positions and positions[sid] != 0 and not keep:
                run.cash = run.set_position(sid, 0.0, check_held=False, drop_zero=True)
                stop_exits.append(entry)
                reset_ratios(sid)
                for k, other in enumerate(pending_exits):
                    if other[0] == sid:
                        del pending_exits[k]
                        break

        exits_due = list(pending_exits)
        pending_exits = []

        # scheduled rebalance
        if rebalance_due:
            if not a.retain_cost:
                for sid in range(m):
                    reset_ratios(sid)
            else:
                for sid in range(m):
                    w = float(pos_values[pos_id, sid])
                    if w != 0 and (sid not in positions or positions[sid] * w <= 0):
                        reset_ratios(sid)
            target = pos_values[pos_id]
            if _truth(stp) and stop_exits:
                target = target.copy()
                for sid, _side in stop_exits:
                    target[sid] = 0
            run.rebalance(target)
            stop_exits = []
            last_positions = dict(positions)
            last_target = target
            ref_price = list(price[i])
            last_rebalanced_pos_id = pos_id

        # delistings
        if has_delisting:
            delisted_today = []
            for sid in sorted(positions):
                if sid >= len(delist):
                    raise IndexError("Out of bounds on buffer access (axis 0)")
                if delist[sid] == i and positions[sid] != 0:
                    delisted_today.append(sid)
            for sid in delisted_today:
                run.cash = run.set_position(sid, 0.0, check_held=False, drop_zero=True)
                reset_ratios(sid)

        # value at the close
        value = run.cash
        for sid in sorted(positions):
            col = a.col_map[sid]
            p = price[i][col]
            validate_trade_price(p, pos_columns[sid], i)
            c = close[i][col]
            v = positions[sid]
            if _isnan(p) or _isnan(c):
                value += v
            else:
                value += _div(v * c, p)
        portfolio_value[i] = value

        # schedule the next row
        next_date = pidx[i + 1] if i < n - 1 else pidx[n - 1] + INF
        while pos_id < n_pos_rows - 1 and posidx[pos_id + 1] < next_date:
            pos_id += 1
        rebalance_due = pos_id != last_rebalanced_pos_id and flags[i] != 0

    rec.end_analysis(positions)

    # -- end-of-run report ----------------------------------------------------
    ops = {"actions": {}, "weights": {}, "next_weights": {}}
    actions = ops["actions"]
    weights = ops["weights"]
    next_weights = ops["next_weights"]

    weight_sum = 0
    for sid in sorted(last_positions):
        w = float(pos_values[last_rebalanced_pos_id, sid])
        weights[sid] = w if sid in positions else 0
        weight_sum += abs(w)
    divisor = weight_sum if weight_sum > 1 else 1
    for sid in weights:
        weights[sid] = weights[sid] / divisor

    row = last_target if pos_id == last_rebalanced_pos_id else pos_values[pos_id]
    next_sum = 0
    for sid, w in enumerate(row.tolist()):
        in_stop_list = False
        in_due_list = False
        if _truth(stp):
            in_stop_list = any(e[0] == sid for e in stop_exits)
            if not in_stop_list:
                in_due_list = any(e[0] == sid for e in exits_due)
        stopped = in_stop_list or (in_due_list and sid in positions and positions[sid] != 0)
        if not (rebalance_due and stopped):
            next_sum += abs(w)
        if not in_stop_list and not in_due_list and w != 0:
            next_weights[sid] = w
    ops["weight_time"] = last_rebalanced_pos_id
    ops["next_weight_time"] = pos_id
    divisor = next_sum if next_sum > 1 else 1
    for sid in next_weights:
        next_weights[sid] = next_weights[sid] / divisor
    ops["weights"] = normalize_weight(weights, a.position_limit)
    ops["next_weights"] = normalize_weight(next_weights, a.position_limit)

    if rebalance_due:
        for sid, w in enumerate(pos_values[pos_id].tolist()):
            p = positions.get(sid, 0)
            if p == 0 and w != 0:
                actions[sid] = "enter"
            elif p != 0 and w == 0:
                actions[sid] = "exit"
            elif p != 0 and w != 0:
                actions[sid] = "hold"

    for sid, side in exits_due:
        if _truth(stp):
            actions[sid] = side
        elif date > posidx[pos_id]:
            actions[sid] = side
        elif sid in next_weights and next_weights[sid] != 0:
            actions[sid] = side + "_enter"

    for sid, side in stop_exits:
        if _truth(stp) or sid not in actions:
            actions[sid] = side + "_"

    return ModelResult(np.array(portfolio_value, dtype=np.float64), rec, ops)


# ---------------------------------------------------------------------------
# the engine, read back in the same shape
# ---------------------------------------------------------------------------


class EngineResult:
    """The engine's results after one ``backtest_`` call, shaped like ModelResult."""

    def __init__(self, trevane, quelmo, portfolio_value):
        self._trevane = trevane
        self.portfolio_value = portfolio_value
        self.trades = [[int(x) for x in t] for t in quelmo.trades]
        self.trade_positions = [float(x) for x in quelmo.trade_positions]
        self.stats = list(quelmo.quelmo)
        self.stock_operations = trevane.get_stock_operations()

    def trade_stock_rows(self, pos_columns, price_index, touched_exit):
        return self._trevane.get_trade_stocks(pos_columns, price_index, touched_exit)[0]


def run_engine(**kwargs):
    from zelvor.core import quelmo, trevane

    pv = trevane.backtest_(**kwargs)
    return EngineResult(trevane, quelmo, pv)
