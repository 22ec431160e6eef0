"""交易记录：CTP 账户配置、提交结果，以及交易会话发布给用户的只读资金、持仓、订单和成交视图。"""

from collections.abc import ItemsView, Iterator, KeysView, ValuesView
from collections.abc import Mapping as Mapping
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from types import GenericAlias
from typing import TYPE_CHECKING as TYPE_CHECKING
from typing import Any, ClassVar, Generic, NoReturn, TypeVar, overload
from typing import Literal as Literal

@dataclass(frozen=True)
class CtpAccount:
    """CTP 直连账户配置，交易凭据不会发送至行情服务。

    Args:
        broker_id: 期货公司代码。
        user_id: 资金账号。
        password: 交易密码。
        front_url: 交易前置地址，格式为 tcp://地址:端口。
        app_id: 期货公司提供的客户端标识。
        auth_code: 期货公司提供的客户端授权码。
    """

    broker_id: str
    user_id: str
    password: str = field(repr=False)
    front_url: str
    app_id: str
    auth_code: str = field(repr=False)
    def __post_init__(self) -> None: ...

class LiveObject:
    """只读记录视图：属性读取先解析类成员，再查找 _values 字典中的字段值；任何属性赋值或删除都会抛出 AttributeError。"""

    __slots__ = ("_values",)
    fields: ClassVar[tuple[str, ...]]
    @property
    def _values(self) -> dict[str, Any]: ...
    def __init__(self, **values: Any) -> None: ...
    # Names other than the declared fields (extra keywords) are read from
    # `_values` as well.
    def __getattribute__(self, name: str, /) -> Any: ...
    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...
    def __delattr__(self, name: str, /) -> NoReturn: ...

class Account(LiveObject):
    """只读资金快照；金额单位为人民币元，未知字段为 None。

    金额仅由完整柜台查询更新，不根据行情或成交估算；交易日来自登录回报。
    """

    __slots__ = ()
    account_id: str | None
    trading_day: str | None
    balance: float | None
    available: float | None
    margin: float | None
    frozen_margin: float | None
    commission: float | None
    frozen_commission: float | None
    close_profit: float | None
    position_profit: float | None
    deposit: float | None
    withdraw: float | None
    updated_at: int | None

class Position(LiveObject):
    """只读持仓快照；数量单位为手。

    登录查询建立基线，之后根据真实成交本地更新；未知数量为 None。
    """

    __slots__ = ()
    symbol: str
    pos_long: int | None
    pos_short: int | None
    pos_long_today: int | None
    pos_short_today: int | None
    available_long: int | None
    available_short: int | None

class Order(LiveObject):
    """只读订单快照；断线后观察句柄保留最后一次已提交的数据。"""

    __slots__ = ()
    order_id: str
    order_sys_id: str | None
    symbol: str
    direction: str | None
    offset: str | None
    limit_price: float | None
    volume_original: int | None
    volume_traded: int | None
    volume_left: int | None
    status: Literal["PENDING", "ALIVE", "FILLED", "CANCELLED", "REJECTED"] | None
    status_msg: str | None
    cancel_pending: bool
    cancel_error: str | None
    insert_time: int | None

class Trade(LiveObject):
    """只读真实成交快照，不包含估算手续费；断线后保留最后一次已提交的数据。"""

    __slots__ = ()
    trade_id: str
    order_sys_id: str
    symbol: str
    direction: str | None
    offset: str | None
    price: float | None
    volume: int | None
    trade_time: int | None

_R = TypeVar("_R", bound=LiveObject)
_T = TypeVar("_T")

class LiveMap(Mapping[str, _R], Generic[_R]):
    """只读映射视图：按键读取 _data 字典中的记录，随交易会话的提交原地更新；不支持赋值或删除。"""

    __slots__ = ("_data", "item_type")
    @property
    def _data(self) -> dict[str, _R]: ...
    @property
    def item_type(self) -> type[_R]: ...
    def __init__(self, item_type: type[_R]) -> None: ...
    def __class_getitem__(cls, item: Any, /) -> GenericAlias: ...
    def __getitem__(self, key: str, /) -> _R: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    def keys(self) -> KeysView[str]: ...
    def items(self) -> ItemsView[str, _R]: ...
    def values(self) -> ValuesView[_R]: ...
    @overload
    def get(self, key: str, default: None = None) -> _R | None: ...
    @overload
    def get(self, key: str, default: _R | _T) -> _R | _T: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...
    def __delattr__(self, name: str, /) -> NoReturn: ...

@dataclass(frozen=True)
class TradingResult:
    """一次交易操作的即时提交结果；不是最终委托或撤单结果。"""

    status: Literal["SUBMITTED", "REJECTED", "UNKNOWN"]
    order_id: str | None
    message: str = ""

@dataclass(frozen=True, kw_only=True)
class TradingGuard:
    """交易风控限额；每项为 None 表示不限制。被拒绝的报单或撤单返回 REJECTED，不登记、不发送。

    Args:
        self_trade: 为 True 时拒绝可能与本会话同合约反方向挂单成交的报单。
        max_cancels: 每个合约每个交易日的撤单次数上限。
        max_orders_per_second: 每秒报单笔数上限。
        max_lots: 单笔报单手数上限。
        repeat_ms: 拒绝与该毫秒数内已发送报单相同（合约、方向、开平、价格、手数）的报单。
        warn_orders: 每合约报单笔数的预警阈值。
        warn_cancels: 每合约撤单次数的预警阈值。
        warn_cancelled: 每合约已撤订单数的预警阈值。
        warn_trades: 每合约成交笔数的预警阈值。
        warn_refused: 每合约风控拒单次数的预警阈值。
    """

    self_trade: bool = False
    max_cancels: int | None = None
    max_orders_per_second: int | None = None
    max_lots: int | None = None
    repeat_ms: int | None = None
    warn_orders: int | None = None
    warn_cancels: int | None = None
    warn_cancelled: int | None = None
    warn_trades: int | None = None
    warn_refused: int | None = None
    def __post_init__(self) -> None:
        """构造后检查：self_trade 必须是 bool，其余各项必须是 1 到 2147483647 之间的 int 或 None。"""

internal_fields: list[str]

def empty_position(symbol: str, updated_at: int | None = None) -> dict[str, Any]:
    """返回一个新的空白持仓状态字典：internal_fields 中的各数量按顺序为 None（updated_at 为 None 时）或 0，随后是 symbol 和 updated_at。"""

_api: object
