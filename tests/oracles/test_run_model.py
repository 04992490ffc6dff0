"""The run against a slow, literal Python walk through the documented row loop.

`walk` below follows the documented steps one by one (marking to market, the
exit rules, pending exits, rebalancing, delistings, the closing valuation and
the scheduling), on NumPy scalars where the engine works on them, so the
equity curve and the trade records must agree to the last bit on any input,
and a failing input must fail with the same error.
"""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from pelmora.core import runvane
from run_helpers import Inputs, objs, operations, trade_records

NAN = math.nan
INF = math.inf


def normalize_weight(weights: dict, limit: float) -> dict:
    """The report's weights brought to a gross of at most 1, then capped at +-limit, in place.

    Python-object arithmetic in the engine's order: the absolute weights added up from 0.0 in
    the dict's order; above 1, each weight times the true reciprocal of that sum; then every
    weight above limit is limit, and every one below -limit is -limit (NaN passes both).
    """
    total = 0.0
    for w in weights.values():
        total += abs(w)
    if total > 1:
        for sid in list(weights):
            weights[sid] = weights[sid] * (1 / total)
    for sid in list(weights):
        if weights[sid] > limit:
            weights[sid] = limit
        elif weights[sid] < -limit:
            weights[sid] = -limit
    return weights


class Walk:
    def __init__(self, inp: Inputs, o: dict):
        self.inp, self.o = inp, o
        self.fee, self.tax = o["fee_ratio"], o["tax_ratio"]
        self.pos = {}
        self.cash = 1.0
        self.entries = {}
        self.records = []
        self.d = 0
        self.stopped = False

    # -- the book ---------------------------------------------------------------------------
    def set_position(self, sid, position, check_null, set_null, balance=1):
        pos = self.pos
        exist = (sid in pos) if check_null else True
        prev_has = sid in pos and pos[sid] != 0.0
        next_has = position != 0.0
        if not prev_has and next_has:
            float(position) / balance  # the weight handed to the excursion module
            self.entries[sid] = self.d
        elif prev_has and not next_has:
            self.record(sid, self.d)
        elif prev_has and next_has:
            if not self.o["retain_cost_when_rebalance"] and self.o["periodically_rebalance"]:
                self.record(sid, self.d)
                float(position) / balance
                self.entries[sid] = self.d
        if position == 0.0:
            if not exist:
                return
            held = pos.setdefault(sid, 0.0)
            if set_null:
                del pos[sid]
            else:
                pos[sid] = 0.0
            self.cash = self.cash + (held - abs(held) * (self.fee + self.tax))
            return
        if not exist:
            pos[sid] = 0.0
        amount = position - pos[sid]
        is_entry = (amount > 0 and position >= 0) or (amount < 0 and position <= 0)
        cost = abs(amount) * self.fee if is_entry else abs(amount) * (self.fee + self.tax)
        if amount > 0:
            self.cash = self.cash - amount
            pos[sid] = pos[sid] + (amount - cost)
        else:
            self.cash = self.cash + (-amount - cost)
            pos[sid] = pos[sid] + amount
        if set_null and pos[sid] == 0.0:
            del pos[sid]

    def record(self, sid, exit_row):
        """A trade record goes to the excursion analysis, whose path starts from the price the
        trade entered at: a stock entered at a trade price of 0 (met on the row a rebalance
        waited for, with no holding there to refuse it) stops the run there."""
        entry = self.entries.get(sid, 0)
        sp = self.pos2price.get(sid)
        if sp is not None and self.inp.price_values[entry, sp] == 0:
            raise ZeroDivisionError("float division")
        self.records.append([sid, entry, exit_row])

    def balance(self):
        balance = self.cash
        for sid in sorted(self.pos):
            balance += self.pos[sid]
        return balance

    def rebalance(self, row):
        balance = self.balance()
        gross = np.abs(row).sum()
        divisor = 1 if 1 > gross else gross
        ratio = float(balance / divisor)
        if math.isnan(ratio):
            ratio = 1.0
        # A weight within four ulps of 0, as a share of the scaled row, is 0.
        dust = 4 * np.finfo(np.float64).eps * divisor if math.isfinite(divisor) else 0.0
        limit = self.o["position_limit"]
        for sid, v in enumerate(row):
            if v != 0 and abs(v) <= dust:
                v = 0.0
            v2 = float(v * ratio)
            if abs(v2) > limit * balance:
                v2 = (limit * balance) * (1 if v2 > 0 else -1)
            # A target the holding's trade would round to exactly 0 is a close.
            held = self.pos.get(sid)
            if held is not None and v2 != 0.0 and held + (v2 - held) == 0.0:
                v2 = 0.0
            self.set_position(sid, v2, True, True, balance)

    def close_book(self, d, at_close):
        """The account's stop: every holding closed, at its close or at the trade price."""
        self.stopped = True
        for sid in sorted(self.pos):
            if at_close:
                sp = self.column(sid, d)
                price = self.trade_price(sid, sp, d)
                close = self.inp.close_values[d, sp]
                if not (math.isnan(price) or math.isnan(close)):
                    self.pos[sid] = float(self.pos[sid] * close / price)
            self.set_position(sid, 0.0, False, True)

    # -- helpers ----------------------------------------------------------------------------
    def column(self, sid, d):
        if sid not in self.pos2price:
            raise ValueError(f"No price column for stock {self.inp.pos_columns[sid]}; "
                             f"it is held at price row {d}.")
        return self.pos2price[sid]

    def trade_price(self, sid, sp, d):
        p = self.inp.price_values[d, sp]
        if not math.isnan(p) and (abs(p) > 1.7976931348623157e308 or p <= 0):
            raise ValueError(f"Invalid trading price for {self.inp.pos_columns[sid]} at price "
                             f"row {d}: {float(p)!r}. Expected a positive finite price; check "
                             "the trading-price dataset.")
        return p

    def restart(self, sid):
        self.cr[sid] = self.maxcr[sid] = self.mincr[sid] = 1

    # -- the run ----------------------------------------------------------------------------
    def run(self):
        inp, o = self.inp, self.o
        names = {n: i for i, n in enumerate(inp.price_columns)}
        self.pos2price = {i: names[n] for i, n in enumerate(inp.pos_columns) if n in names}
        n_rows = len(inp.price_index)
        creturn = [None] * n_rows
        n_pos = inp.pos_values.shape[1]
        self.cr, self.maxcr, self.mincr = np.ones(n_pos), np.ones(n_pos), np.ones(n_pos)
        prev = np.ones(inp.price_values.shape[1])
        bars = o["delisting_bars"]
        has_delisting = bars is not None and bool((np.asarray(bars) >= 0).any())
        sl, tp = abs(o["stop_loss"]), abs(o["take_profit"])
        ts, ta = abs(o["trail_stop"]), abs(o["trail_stop_activation"])
        marks = [0] * n_rows
        ptr = 0
        for date in inp.resample:
            while ptr + 1 < n_rows and inp.price_index[ptr + 1] <= date:
                ptr += 1
            marks[ptr] = 1
        exit_stocks, exited = [], []
        should, pos_id, current = False, 0, -1
        stop_trading = bool(o["stop_trading_next_period"])
        pos = self.pos
        for d in range(n_rows):
            self.d = d
            if inp.price_index[d] < inp.pos_index[0]:
                creturn[d] = 1.0
                continue
            temp = []
            for sid in sorted(pos):
                sp = self.column(sid, d)
                price = self.trade_price(sid, sp, d)
                if math.isnan(prev[sp]):
                    prev[sp] = price
                r = price / prev[sp]
                if math.isnan(r):
                    r = 1
                pos[sid] = float(pos[sid] * r)
                cr = self.cr
                cr[sid] = cr[sid] * r
                if cr[sid] > self.maxcr[sid]:
                    self.maxcr[sid] = cr[sid]
                if cr[sid] < self.mincr[sid]:
                    self.mincr[sid] = cr[sid]
                entry_pos = pos[sid] / cr[sid]
                if pos[sid] != 0.0:
                    if entry_pos > 0:
                        active = self.maxcr[sid] >= 1 + ta
                        max_r, min_r = 1 + tp, 1 - sl
                        if active and self.maxcr[sid] - ts > min_r:
                            min_r = self.maxcr[sid] - ts
                    else:
                        active = self.mincr[sid] <= 1 - ta
                        max_r = 1 + sl
                        if active and self.mincr[sid] + ts < max_r:
                            max_r = self.mincr[sid] + ts
                        min_r = 1 - tp
                    if o["touched_exit"]:
                        base = cr[sid] / r
                        high_r = base * (inp.high_values[d, sp] / prev[sp])
                        low_r = base * (inp.low_values[d, sp] / prev[sp])
                        open_r = base * (inp.open_values[d, sp] / prev[sp])
                        touch_low, touch_high = low_r <= min_r, high_r >= max_r
                        touch_open = open_r >= max_r or open_r <= min_r
                        if touch_open:
                            pos[sid] = float(open_r * entry_pos)
                        elif touch_high:
                            pos[sid] = float(max_r * entry_pos)
                        elif touch_low:
                            pos[sid] = float(min_r * entry_pos)
                        if touch_open or touch_high or touch_low:
                            stop = (touch_low and pos[sid] > 0) or (touch_high and pos[sid] < 0)
                            exited.append(-sid if stop else sid)
                            self.set_position(sid, 0.0, False, False)
                    else:
                        at_close = cr[sid] * inp.close_values[d, sp] / price
                        if at_close >= max_r:
                            temp.append(sid)
                        elif at_close < min_r:
                            temp.append(-sid)
                if not math.isnan(price):
                    prev[sp] = price
            for sid in exit_stocks:
                a = abs(sid)
                kept = should and not stop_trading and inp.pos_values[pos_id, a] != 0
                if a in pos and pos[a] != 0.0 and not kept:
                    self.set_position(a, 0.0, False, True)
                    exited.append(sid)
                    self.restart(a)
                    for i, s in enumerate(temp):
                        if s in (sid, -sid):
                            del temp[i]
                            break
            exit_stocks = list(temp)
            if self.stopped:
                exit_stocks = []
            elif should and self.balance() <= 0:
                # Nothing to size the targets from: the book is closed at the trade price.
                self.close_book(d, at_close=False)
                exit_stocks = []
            elif should:
                target = inp.pos_values[pos_id]
                if o["retain_cost_when_rebalance"]:
                    for sid, pv in enumerate(target):
                        if pv != 0 and (sid not in pos or float(pos[sid]) * pv <= 0):
                            self.restart(sid)
                else:
                    for a in (self.cr, self.maxcr, self.mincr):
                        a.fill(1)
                row = target
                if stop_trading and exited:
                    row = row.copy()
                    for s in exited:
                        row[abs(s)] = 0
                suspended = {}
                for sid in sorted(pos):
                    sp = self.column(sid, d)
                    if pos[sid] != 0.0 and math.isnan(inp.price_values[d, sp]):
                        suspended[sp] = prev[sp]
                self.rebalance(row)
                self.latest_pos, self.latest_row = dict(pos), row
                exited = []
                current = pos_id
                prev = inp.price_values[d].copy()
                for sp, value in suspended.items():
                    prev[sp] = value
            if has_delisting:
                for sid in [s for s in sorted(pos) if bars[s] == d and pos[s] != 0]:
                    self.set_position(sid, 0.0, False, True)
                    self.restart(sid)
            balance = self.cash
            for sid in sorted(pos):
                sp = self.column(sid, d)
                price = self.trade_price(sid, sp, d)
                close = inp.close_values[d, sp]
                if math.isnan(price) or math.isnan(close):
                    balance += pos[sid]
                else:
                    balance = float(balance + pos[sid] * close / price)
            if not self.stopped and balance <= 0:
                # Worth nothing or less at the close: closed there, and nothing trades after.
                self.close_book(d, at_close=True)
                exit_stocks = []
                balance = self.cash
            creturn[d] = balance
            next_bar = inp.price_index[d + 1] if d < n_rows - 1 else INF
            while pos_id < len(inp.pos_index) - 1 and inp.pos_index[pos_id + 1] < next_bar:
                pos_id += 1
            should = pos_id != current and marks[d] != 0
        for sid in sorted(pos):
            if pos[sid] != 0:
                self.record(sid, -1)
        self.end = dict(should=should, pos_id=pos_id, current=current, exit_stocks=exit_stocks,
                        exited=exited, date=inp.price_index[-1], stop_trading=stop_trading)
        return creturn

    def report(self):
        """The next-period report, step by step."""
        e, inp, pos = self.end, self.inp, self.pos
        should, pos_id, current = e["should"], e["pos_id"], e["current"]
        stop_trading = e["stop_trading"]
        actions, weights, next_weights = {}, {}, {}
        latest_sum = 0
        for sid in sorted(getattr(self, "latest_pos", {})):
            weight = inp.pos_values[current, sid]
            weights[sid] = weight if sid in pos else 0
            latest_sum += abs(weight)
        for sid in weights:
            weights[sid] = weights[sid] / (latest_sum if latest_sum > 1 else 1)
        next_sum = 0
        next_row = self.latest_row if pos_id == current else inp.pos_values[pos_id]
        for sid, weight in enumerate(next_row):
            skip, dropped = 0, False
            if stop_trading:
                if any(abs(s) == sid for s in e["exited"]):
                    skip, dropped = 1, True
                elif any(abs(s) == sid for s in e["exit_stocks"]):
                    skip, dropped = 1, sid in pos and pos[sid] != 0
            if not (dropped and should):
                next_sum += abs(weight)
            if skip:
                continue
            if weight != 0:
                next_weights[sid] = weight
        for sid in next_weights:
            next_weights[sid] = next_weights[sid] / (next_sum if next_sum > 1 else 1)
        limit = float(self.o["position_limit"])
        weights = normalize_weight(weights, limit)
        next_weights = normalize_weight(next_weights, limit)
        if should:
            for sid, val1 in enumerate(inp.pos_values[pos_id]):
                if sid not in pos or pos[sid] == 0:
                    if val1 != 0:
                        actions[sid] = "enter"
                else:
                    if val1 == 0:
                        actions[sid] = "exit"
                    if val1 != 0:
                        actions[sid] = "hold"
        for sid in e["exit_stocks"]:
            tp = sid > 0
            if stop_trading or e["date"] > inp.pos_index[pos_id]:
                actions[abs(sid)] = "tp" if tp else "sl"
            elif next_weights.get(abs(sid), 0) != 0:
                actions[abs(sid)] = "tp_enter" if tp else "sl_enter"
        for sid in e["exited"]:
            if stop_trading or abs(sid) not in actions:
                actions[abs(sid)] = "tp_" if sid > 0 else "sl_"
        return {"actions": actions, "weights": weights, "next_weights": next_weights,
                "weight_time": current, "next_weight_time": pos_id}


# --- random runs that mostly trade ---------------------------------------------------------------

# Mostly plain values; now and then one the engine must carry through as IEEE
# arithmetic (or reject, like an infinite trade price).
prices = st.sampled_from([10.0, 9.0, 9.5, 8.0, 10.0, 10.5, 11.0, 12.0, NAN, 10.0, 9.0, 11.0,
                          INF, 1e-300, 1e300])
weight_values = st.sampled_from([0.5, 0.25, 0.0, 0.0, 1.0, 0.3, -0.5, -0.25, 0.8, 0.5, 0.0, 0.25,
                                 NAN, INF, 1e300])


def grid(shape, elements):
    return hnp.arrays(np.float64, shape, elements=elements, fill=st.nothing())


@st.composite
def runs(draw):
    n_rows, n_cols = draw(st.integers(2, 10)), draw(st.integers(1, 4))
    price_index = np.arange(n_rows, dtype=np.int64) * 2
    grids = [draw(grid((n_rows, n_cols), prices)) for _ in range(5)]
    dates = st.integers(-1, 2 * n_rows)
    pos_index = np.array(sorted(draw(st.lists(dates, min_size=1, max_size=4))), dtype=np.int64)
    n_pos = len(pos_index)
    resample = np.array(sorted(draw(st.lists(dates, min_size=1, max_size=6))), dtype=np.int64)
    labels = [f"S{i}" for i in range(n_cols)]
    pos_labels = draw(st.permutations(labels + ["X"]))[: n_cols + draw(st.integers(0, 1))]
    weights = draw(grid((n_pos, len(pos_labels)), weight_values))
    inp = Inputs(*grids, price_index, objs(labels), weights, pos_index, objs(pos_labels),
                 resample)
    n_stocks = len(pos_labels)
    opts = dict(
        fee_ratio=draw(st.sampled_from([0.0, 0.001425, 0.01])),
        tax_ratio=draw(st.sampled_from([0.0, 0.003])),
        stop_loss=draw(st.sampled_from([1.0, 0.05, 0.1, -0.15, INF])),
        take_profit=draw(st.sampled_from([INF, 0.1, 0.2])),
        trail_stop=draw(st.sampled_from([INF, 0.05, 0.1])),
        trail_stop_activation=draw(st.sampled_from([0.0, 0.05, 0.1])),
        touched_exit=draw(st.booleans()),
        position_limit=draw(st.sampled_from([1.0, 0.5, 0.3])),
        retain_cost_when_rebalance=draw(st.booleans()),
        stop_trading_next_period=draw(st.booleans()),
        periodically_rebalance=draw(st.booleans()),
        delisting_bars=draw(st.one_of(st.none(), hnp.arrays(
            np.int64, n_stocks, elements=st.integers(-1, n_rows)))),
    )
    return inp, opts


# Long-only books that no exit rule can touch, held over long stretches between rebalances: the
# run works such stretches holding by holding, and must still agree with the row-by-row walk,
# including on missing prices, prices far apart and invalid ones met inside a stretch.
# (A zero or infinite trade price is refused; a zero close would stop the excursion analysis.)
odd_closes = st.sampled_from([NAN, 1e-200, 1e200, 12.0])
odd_trade_prices = st.sampled_from([NAN, 1e-200, 1e200, 12.0, 0.0, INF])


@st.composite
def quiet_runs(draw):
    n_rows, n_cols = draw(st.integers(20, 90)), draw(st.integers(1, 4))
    # Dates a bar apart; or with repeats and gaps; or now and then going back.
    steps = draw(st.sampled_from([[1], [0, 1, 1, 3], [1, 1, 1, 2, -4]]))
    price_index = np.cumsum(draw(hnp.arrays(np.int64, n_rows, elements=st.sampled_from(steps))))
    odd = draw(st.integers(0, 3))  # how often a price is unusual: never, or 1 in 40, 20, 10
    usual = np.array([10.0, 9.5, 10.5, 11.0, 9.0])
    grids = []
    for k in range(5):  # the trade prices last
        g = usual[draw(hnp.arrays(np.int64, (n_rows, n_cols), elements=st.integers(0, 4)))]
        if odd:
            mask = draw(hnp.arrays(np.int64, (n_rows, n_cols), elements=st.integers(0, 40 // odd)))
            unusual = draw(grid((n_rows, n_cols), odd_trade_prices if k == 4 else odd_closes))
            g = np.where(mask == 0, unusual, g)
        grids.append(g)
    grids = grids[4:] + grids[:4]
    pos_index = np.array(sorted(draw(st.lists(st.integers(0, n_rows), min_size=1, max_size=3))),
                         dtype=np.int64)
    labels = [f"S{i}" for i in range(n_cols)]
    weights = draw(grid((len(pos_index), n_cols), st.sampled_from([0.5, 0.25, 0.0, 1.0, 0.3])))
    # Rebalance dates on the weights' dates, or on dates of their own (then new weights may wait).
    resample = draw(st.one_of(st.just(pos_index), st.lists(st.integers(0, n_rows), min_size=1,
                                                          max_size=4).map(sorted)))
    inp = Inputs(*grids, price_index, objs(labels), weights, pos_index, objs(labels),
                 np.asarray(resample, dtype=np.int64))
    opts = dict(
        fee_ratio=draw(st.sampled_from([0.0, 0.001425])), tax_ratio=0.003,
        stop_loss=draw(st.sampled_from([1.0, INF, 1.5])), take_profit=INF, trail_stop=INF,
        trail_stop_activation=0.0, touched_exit=False, position_limit=1.0,
        retain_cost_when_rebalance=draw(st.booleans()), stop_trading_next_period=True,
        periodically_rebalance=True,
        delisting_bars=draw(st.one_of(st.none(), hnp.arrays(
            np.int64, n_cols, elements=st.integers(-1, n_rows)))),
    )
    return inp, opts


def as_items(report):
    """The report as nested item lists (so order counts) with NaN made comparable."""
    def plain(v):
        if isinstance(v, dict):
            return [(k, plain(x)) for k, x in v.items()]
        return "nan" if isinstance(v, float) and math.isnan(v) else v
    return plain(report)


@given(st.one_of(runs(), quiet_runs()))
def test_the_run_agrees_with_the_documented_walk(case):
    inp, opts = case
    walk = Walk(inp, opts)
    with np.errstate(all="ignore"):
        try:
            expected = walk.run()
        except (ValueError, ZeroDivisionError) as e:
            expected = e
    try:
        with np.errstate(all="ignore"):
            got = inp.run(**opts)
    except (ValueError, ZeroDivisionError) as e:
        assert type(e) is type(expected), f"unexpected {e!r}, expected {expected!r}"
        assert str(e) == str(expected)
        return
    assert not isinstance(expected, Exception), f"expected {expected!r}"
    assert np.array_equal(got, np.array(expected, dtype=np.float64), equal_nan=True), (
        got.tolist(), expected)
    assert trade_records() == walk.records
    with np.errstate(all="ignore"):
        expected_report = walk.report()
    report = operations()
    assert as_items(report) == as_items(expected_report)


weight_scalars = st.one_of(
    st.floats(-3.0, 3.0).map(np.float64), st.floats(-3.0, 3.0),
    st.sampled_from([0, NAN, INF, -INF, 1e300, 1e-300, 0.1, 0.2, 0.7]).map(np.float64))


@settings(max_examples=300)
@given(st.dictionaries(st.integers(0, 30), weight_scalars, max_size=8),
       st.sampled_from([1.0, 0.5, 0.3, 0.0, 2.0]))
def test_the_engines_normalisation_is_the_walks(weights, limit):
    # The walk's report normalises on its own; the engine's function must agree bit for bit,
    # key order and value types included (a weight the scaling leaves alone keeps its type).
    with np.errstate(all="ignore"):
        got = runvane.normalize_weight(dict(weights), limit)
        expected = normalize_weight(dict(weights), limit)

    def bits(mapping):
        return [(k, type(v), "nan" if math.isnan(v) else np.float64(v).tobytes())
                for k, v in mapping.items()]

    assert bits(got) == bits(expected)


def test_the_random_runs_trade():
    # Guard: the generated runs are not all trivial.
    traded = []

    @settings(derandomize=True, database=None, max_examples=100)
    @given(runs())
    def count(case):
        inp, opts = case
        try:
            with np.errstate(all="ignore"):
                inp.run(**opts)
        except ValueError:
            return
        traded.append(len(trade_records()) > 0)

    count()
    assert sum(traded) > len(traded) / 6


@settings(max_examples=150, deadline=None)
@given(st.sampled_from([1.5, 3.0, 6.0]), st.integers(2, 5),
       st.lists(st.sampled_from([0.0, 0.0, 0.5, -0.5, 1.0, -1.0, NAN]), min_size=10, max_size=10),
       st.sampled_from([1.0, 0.5]), st.floats(0.0, 0.01))
def test_a_book_worth_nothing_stops_trading_as_the_walk_does(spike, n_cols, targets, limit, fee):
    # A short of the whole book whose stock rises leaves it worth nothing or less (from a
    # twofold rise): the book is closed at that close and the later rebalances trade nothing
    # (sized from that balance, every stock would trade, the zero weights included). The same
    # run with a rise too small for that trades as weighted.
    rng = np.random.default_rng(n_cols)
    price = 20.0 * np.exp(np.cumsum(rng.normal(0, 0.01, (7, n_cols)), axis=0))
    price[2:, 0] *= spike
    weights = np.zeros((3, n_cols))
    weights[0, 0] = -1.0
    weights[1:] = np.array(targets[: 2 * n_cols]).reshape(2, n_cols)
    labels = objs([f"S{k}" for k in range(n_cols)])
    pos_index = np.array([0, 2, 4], dtype=np.int64)
    inp = Inputs(price, price, price, price, price, np.arange(7, dtype=np.int64), labels,
                 weights, pos_index, labels, pos_index)
    opts = dict(fee_ratio=fee, tax_ratio=0.0, stop_loss=INF, take_profit=INF, trail_stop=INF,
                trail_stop_activation=0.0, touched_exit=False, position_limit=limit,
                retain_cost_when_rebalance=False, stop_trading_next_period=True,
                periodically_rebalance=True, delisting_bars=None)
    walk = Walk(inp, opts)
    with np.errstate(all="ignore"):
        expected = walk.run()
        got = inp.run(**opts)
    assert np.array_equal(got, np.array(expected, dtype=np.float64), equal_nan=True)
    assert trade_records() == walk.records
    if walk.stopped:
        last = int(np.flatnonzero(got <= 0.0)[0])
        assert (got[last:] == got[last]).all()
        assert all(0 <= exit_row <= last for _, _, exit_row in walk.records)


def test_a_stock_entered_at_a_trade_price_of_zero_stops_the_run_as_the_walk_says():
    # A rebalance that met no price waits for one; the first price of the stock is 0, and
    # nothing is held there to refuse it: the trade enters at 0, and its excursion path, which
    # starts from that price, stops the run.
    n = 23
    price = np.full((n, 3), NAN)
    price[4, 2] = 0.0
    missing = np.full((n, 3), NAN)
    inp = Inputs(price, missing, missing, missing, missing, np.arange(2, 2 * n + 2, 2),
                 objs(["S0", "S1", "S2"]), np.array([[0.5, 0.5, 0.5]]), np.array([0]),
                 objs(["S0", "S1", "S2"]), np.array([8]))
    opts = dict(fee_ratio=0.0, tax_ratio=0.003, stop_loss=1.0, take_profit=INF, trail_stop=INF,
                trail_stop_activation=0.0, touched_exit=False, position_limit=1.0,
                retain_cost_when_rebalance=False, stop_trading_next_period=True,
                periodically_rebalance=True, delisting_bars=np.array([4, 4, 4]))
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        Walk(inp, opts).run()
    with pytest.raises(ZeroDivisionError, match="^float division$"), np.errstate(all="ignore"):
        inp.run(**opts)
