"""Speed of torvo.ledger against plain-Python equivalents, measured in one run.

Run from the project root:  python bench/bench_ledger.py [--json FILE]

Targets:
  * reading a record field (order.status): at least 5x faster than a plain
    class with __slots__ = ("_values",) and a __getattr__ fallback, and at
    most 4x the time of reading the same key from a dict;
  * building a record (blank and with keywords) and empty_position: no slower
    than the plain-Python code that does the same.

Times are per call in nanoseconds, after subtracting the cost of the timing
loop itself (measured in the same run); each figure is the best of several
repeats.
"""

import argparse
import json
import pathlib
import sys
import timeit

try:
    import torvo.ledger as ledger
except ImportError:  # run from a source tree with the module built in place
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
    import torvo.ledger as ledger

Order = ledger.Order
empty_position = ledger.empty_position


# --- plain-Python baselines of the same steps --------------------------------

class PyLiveObject:
    __slots__ = ("_values",)
    fields = ()

    def __init__(self, **values):
        data = dict.fromkeys(self.fields)
        object.__setattr__(self, "_values", data)
        data.update(values)

    def __getattr__(self, name):
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        raise AttributeError("SDK 交易数据对象为只读")


class PyOrder(PyLiveObject):
    __slots__ = ()
    fields = tuple(
        "order_id order_sys_id symbol direction offset limit_price volume_original "
        "volume_traded volume_left status status_msg cancel_pending cancel_error "
        "insert_time".split())


PY_INTERNAL_FIELDS = (
    "pos_long pos_short pos pos_long_today pos_short_today pos_long_his "
    "pos_short_his frozen_long frozen_short available_long available_short").split()


def py_empty_position(symbol, updated_at=None):
    position = dict.fromkeys(PY_INTERNAL_FIELDS, None if updated_at is None else 0)
    position["symbol"] = symbol
    position["updated_at"] = updated_at
    return position


# --- measurement --------------------------------------------------------------

NUMBER = 200_000
REPEAT = 7


def best(stmt, env):
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=REPEAT, number=NUMBER)) / NUMBER * 1e9


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", metavar="FILE", help="also write the rows to FILE as JSON")
    args = parser.parse_args(argv)
    rows = []
    order = Order(order_id="1", symbol="SHFE.cu2501", status="ALIVE")
    py_order = PyOrder(order_id="1", symbol="SHFE.cu2501", status="ALIVE")
    values = dict(order._values)
    env = dict(order=order, py_order=py_order, values=values, Order=Order, PyOrder=PyOrder,
               empty_position=empty_position, py_empty_position=py_empty_position)
    loop = best("pass", env)

    def net(stmt):
        return max(best(stmt, env) - loop, 0.1)

    # (label, native statement, baseline statement, target ratio, kind)
    # kind "faster": baseline / native must reach the ratio;
    # kind "within": native / baseline must stay at or below the ratio.
    cases = [
        ("field read vs __getattr__ class", "order.status", "py_order.status", 5.0, "faster"),
        ("field read vs dict lookup", "order.status", "values['status']", 4.0, "within"),
        ("blank record", "Order()", "PyOrder()", 1.0, "faster"),
        ("record with keywords",
         "Order(order_id='1', symbol='SHFE.cu2501', status='ALIVE')",
         "PyOrder(order_id='1', symbol='SHFE.cu2501', status='ALIVE')", 1.0, "faster"),
        ("empty_position(symbol)", "empty_position('SHFE.cu2501')",
         "py_empty_position('SHFE.cu2501')", 1.0, "faster"),
        ("empty_position(symbol, time)", "empty_position('SHFE.cu2501', 1735689600000)",
         "py_empty_position('SHFE.cu2501', 1735689600000)", 1.0, "faster"),
    ]

    print(f"timing loop: {loop:.1f} ns per iteration (subtracted below)")
    header = f"{'case':32} {'torvo ns':>9} {'baseline ns':>12} {'ratio':>8}  target"
    print(header)
    print("-" * len(header))
    for label, native_stmt, base_stmt, target, kind in cases:
        native, base = net(native_stmt), net(base_stmt)
        if kind == "faster":
            ratio, text, ok = base / native, f">= {target:g}x faster", base / native >= target
        else:
            ratio, text, ok = native / base, f"<= {target:g}x the time", native / base <= target
        print(f"{label:32} {native:9.1f} {base:12.1f} {ratio:7.2f}x  {text}  "
              f"{'ok' if ok else 'MISSED'}")
        rows.append({"hot_path": label, "torvo_us": native / 1e3, "baseline_us": base / 1e3,
                     "ratio": ratio, "target": text, "met": ok})
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(rows, out, ensure_ascii=False, indent=1)


if __name__ == "__main__":
    main()
