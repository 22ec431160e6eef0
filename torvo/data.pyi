"""Wire conversion and local market data objects."""

import sys
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

import pandas
from typing_extensions import disjoint_base

class ExError(Exception):
    """SDK 数据或交易服务异常，status 为可选的响应状态码。"""

    status: int | None
    def __init__(self, message: str, status: int | None = None) -> None: ...

def check_symbol(symbol: object) -> None:
    """校验合约代码格式（交易所.合约，如 SHFE.rb2610 或 DCE.a2611-C-3700），格式不符或过长时抛出 ValueError。"""

def number(value: object) -> float:
    """把行情消息的数值字段转换为 float；None 表示缺失，返回 NaN。"""

def different(old: Any, new: Any) -> Any:
    """判断新值相对旧值是否变化；两个 NaN 浮点数视为相同。"""

BAR_FIELDS: dict[str, str]
QUOTE_FIELDS: dict[str, str]

def decode(data: object, symbol: str, *, quote: bool = False) -> dict[str, Any]:
    """Validate a complete message before exposing any of its fields."""

# Whether the base counts as a disjoint base depends on how the interpreter
# lays out instance dictionaries.
if sys.version_info >= (3, 12):
    @disjoint_base
    class _Snapshot:
        """行情快照的基类：字段一经赋值即为只读。"""

else:
    class _Snapshot:
        """行情快照的基类：字段一经赋值即为只读。"""

@dataclass(eq=False)
class Quote(_Snapshot):
    """合约行情快照；通过观察句柄的 data() 获取，不随后续更新改变。

    Attributes:
        symbol: 合约代码，如 SHFE.rb2610 或 DCE.a2611-C-3700。
        trading_day: 交易日，格式 YYYYMMDD。
        timestamp: 行情时间，Unix 毫秒。
        open: 开盘价。
        highest: 最高价。
        lowest: 最低价。
        last_price: 最新价。
        pre_settlement: 昨结算价。
        pre_close: 昨收盘价。
        upper_limit: 涨停价。
        lower_limit: 跌停价。
        volume: 成交量。
        turnover: 成交额。
        open_interest: 持仓量。
        bids: 买盘档位，每档为（价格，数量）。
        asks: 卖盘档位，每档为（价格，数量）。
    """

    symbol: str
    trading_day: str = ""
    timestamp: int = 0
    open: float = ...
    highest: float = ...
    lowest: float = ...
    last_price: float = ...
    pre_settlement: float = ...
    pre_close: float = ...
    upper_limit: float = ...
    lower_limit: float = ...
    volume: float = ...
    turnover: float = ...
    open_interest: float = ...
    bids: list[tuple[float, int]] = field(default_factory=list)
    asks: list[tuple[float, int]] = field(default_factory=list)

BAR_COLUMNS: list[str]
KLINE_PERIODS: frozenset[str]

@disjoint_base
class Serial:
    """一条合约、一个周期的定长 K 线序列。

    frame 是一个 pandas DataFrame：恰好 length 行、默认的 0 起行索引，列为 BAR_COLUMNS；按 K 线时间升序排列，最新的一根总在最后一行，不足 length 根时前面是空行。frame 对象在序列的整个生命期内不会被替换。
    """

    symbol: str
    period: str
    length: int
    bars: dict[int, Mapping[str, Any]]
    initial_generation: int
    initial_sequence: int
    frame: pandas.DataFrame
    def __init__(self, symbol: str, period: str, length: int) -> None: ...
    def update(self, bars: Iterable[Mapping[str, Any]]) -> set[str]:
        """把一组 K 线（以 timestamp 为键的字典）合并进序列，返回最后一行中值发生变化的列名集合。只修订最新一根时只写入变化的单元格，否则保留时间最新的 length 根并整列重建。更新失败时序列保持不变。"""
