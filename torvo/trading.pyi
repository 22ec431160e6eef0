"""CTP session, login snapshots and trade-driven local position state."""

import asyncio
import math as math
import os as os
import socket
import time as time
from collections.abc import Callable, Coroutine, Generator
from datetime import datetime as datetime
from datetime import timedelta as timedelta
from datetime import timezone as timezone
from tempfile import mkdtemp as mkdtemp
from types import TracebackType
from typing import Any, Final

from typing_extensions import disjoint_base

from .data import ExError as ExError
from .data import check_symbol as check_symbol
from .data import different as different
from .errors import Recovery as Recovery
from .ledger import Account as Account
from .ledger import CtpAccount
from .ledger import LiveMap as LiveMap
from .ledger import LiveObject
from .ledger import Order as Order
from .ledger import Position as Position
from .ledger import Trade as Trade
from .ledger import TradingGuard
from .ledger import TradingResult as TradingResult
from .ledger import empty_position as empty_position

TZ: Final[timezone]
QUERY: Final[dict[str, str]]
SYNC_STEPS: Final[tuple[str, ...]]
PHASE_LABELS: Final[dict[str, str]]
QUERY_LABELS: Final[dict[str, str]]
ACCOUNT_FIELDS: Final[dict[str, str]]
OFFSET_BY_FLAG: Final[dict[str, str]]
FLAG_BY_OFFSET: Final[dict[str, str]]

def timestamp(day: str, clock: str) -> int | None:
    """Vendor date (YYYYMMDD) and time (HH:MM:SS), read as UTC+8, in epoch milliseconds; None when they do not parse."""

def finite(value: object) -> int | float | None:
    """The value itself when it is a finite int or float of magnitude below 1e100, else None."""

def local_order_id(front: object, session: object, order_ref: object) -> str:
    """Local order id: front, session and order reference joined with ':'."""

def order_offset(value: object) -> str:
    """Order offset word of a vendor offset flag (its first character); 'CLOSE' for anything unknown."""

@disjoint_base
class Native:
    """One bridge session: opened on construction, then request, poll and close."""

    module: Any
    handle: Any
    def __init__(self, config: CtpAccount, directory: str | os.PathLike[str]) -> None: ...
    def request(self, method: str, data: dict[str, str | int | float], request_id: int) -> int: ...
    def poll(self) -> list[dict[str, Any]]: ...
    def wakeup(self) -> socket.socket | None:
        """The socket the bridge writes into when events arrive; None without a wake-up."""
    def close(self) -> None: ...

@disjoint_base
class Trading:
    """Private protocol state is committed to user objects only by wait_update."""

    config: CtpAccount | None
    timeout: float
    objects: dict[int, object]
    factory: Callable[[CtpAccount, str], Any]
    account: Account
    session_status: str
    published_status: str
    positions: LiveMap[Position]
    orders: LiveMap[Order]
    trades: list[Trade]
    trade_views: dict[tuple[str, str, str], Trade]
    a: dict[str, Any]
    p: dict[str, dict[str, Any]]
    o: dict[str, dict[str, Any]]
    t: dict[tuple[str, str, str], dict[str, Any]]
    native_orders: dict[str, dict[str, Any]]
    instruments: dict[str, dict[str, Any]]
    ref_orders: dict[tuple[Any, Any, str], str]
    system_orders: dict[tuple[str, str], str]
    pending_trades: dict[tuple[str, str, str], dict[str, Any]]
    live_trade_buffer: dict[tuple[str, str, str], dict[str, Any]]
    trade_before: set[tuple[str, str, str]]
    position_candidate: dict[str, dict[str, Any]] | None
    position_ready: bool
    pending: set[str]
    inflight: dict[str, Any] | None
    sync_index: int
    last_query: float
    last_account_refresh: float
    request_id: int
    order_ref: int
    order_revisions: dict[str, int]
    revision: int
    front: int
    session: int
    day: str
    phase: str
    phase_id: int | None
    phase_time: float
    phase_data: dict[str, Any]
    task: asyncio.Task[None] | None
    native: Native | Any | None
    error: ExError | None
    dirty: bool
    changed: asyncio.Event
    directory: str | None
    reset_pending: bool
    recovery: Recovery
    query_recovery: Recovery
    published_position_time: int | None
    # The exception of the latest reconnection (a time limit, a broken or
    # silent connection, a protocol inconsistency, an overflow) and when it
    # happened, in ms since the epoch; replaced by the next one, never
    # cleared.  A session ended by an error keeps its reason as
    # `error.__cause__` instead.
    last_failure: tuple[BaseException, int] | None

    def __init__(
        self,
        config: CtpAccount | None,
        timeout: float,
        objects: dict[int, object],
        *,
        native_factory: Callable[[CtpAccount, str], Any] = ...,
        guard: TradingGuard | None = None,
    ) -> None: ...
    def start(self) -> None: ...
    def run(self) -> Coroutine[Any, Any, None]: ...
    def close(self) -> Coroutine[Any, Any, None]: ...
    def _open_native(self) -> None: ...
    def _close_native(self) -> None: ...
    def _clear_cache(self, status: str) -> None: ...
    def _touch(self) -> None: ...
    def _wake(self, source: object) -> None:
        """Ends the run loop's wait between passes (a done callback and a timer callback)."""
    def _status(self, value: str) -> None: ...
    def _request(self, method: str, fields: dict[str, Any] | None = None) -> tuple[int, int]: ...
    def _phase_request(self, phase: str, method: str, data: dict[str, Any] | None = None) -> None: ...
    def _schedule_account(self) -> None: ...
    def tick(self, now: float) -> None: ...
    def _query_error(self, code: int, message: str) -> None: ...
    def event(self, event: dict[str, Any]) -> None: ...
    def _complete(self, query: dict[str, Any]) -> None: ...
    def _positions(self, rows: list[dict[str, Any]], updated: int | None) -> dict[str, dict[str, Any]]: ...
    def _complete_account(self, rows: list[dict[str, Any]], now_ms: int) -> None: ...
    @staticmethod
    def _is_spec_order(row: dict[str, Any]) -> bool: ...
    @staticmethod
    def _is_spec_trade(row: dict[str, Any]) -> bool: ...
    def _by_ref(self, ref: object) -> dict[str, Any] | None: ...
    def _trade_id(self, row: dict[str, Any]) -> tuple[str, str, str]: ...
    def _child(self, row: dict[str, Any]) -> dict[str, Any]: ...
    def _order(self, row: dict[str, Any], query_revision: int | None = None) -> None: ...
    def _trade(self, row: dict[str, Any], *, update_position: bool) -> bool: ...
    def _aggregate(self, child: dict[str, Any] | None = None) -> None: ...
    def _apply_position_trade(self, row: dict[str, Any]) -> None: ...
    def _free_parts(self, symbol: str, side: str) -> tuple[int, int]: ...
    def _recompute_frozen(self, updated: int | None = None, *, symbol: str | None = None) -> None: ...
    async def insert(
        self, symbol: str, direction: str, offset: str, volume: int, limit_price: float, *, advanced: str | None = None
    ) -> list[TradingResult]:
        """Place a limit order; returns one TradingResult per exchange order, in submission order.

        advanced: None (good for the day), "FAK" (what does not fill at once is cancelled) or "FOK" (everything fills at once, or nothing); any other value is REJECTED as an invalid argument. A close split on SHFE or INE into close-yesterday and close-today orders applies it to each of them. With a guard, or paused, a refused order returns one REJECTED result naming the limit and is not sent.
        """
    async def _insert(
        self, symbol: str, direction: str, offset: str, volume: int, limit_price: float, *, advanced: str | None = None
    ) -> list[TradingResult]: ...
    def cancel(self, order_id: str) -> list[TradingResult]:
        """Ask the exchange to cancel an order; returns an empty list or one TradingResult."""
    def commit(self, changes: dict[int, set[str]]) -> bool: ...
    def _update_view(self, obj: LiveObject, values: dict[str, Any], changes: dict[int, set[str]]) -> set[str]: ...
    def _map_view(self, view: LiveMap[Any], key: str, values: dict[str, Any], changes: dict[int, set[str]]) -> Any: ...
    def position_view(self, symbol: str | None) -> Position | LiveMap[Position]: ...
    @property
    def guard(self) -> TradingGuard | None: ...
    @property
    def paused(self) -> bool: ...
    def pause(self) -> None:
        """Refuse every later insert (REJECTED) until resume(); cancels still go out."""
    def resume(self) -> None:
        """Lift pause()."""
    def cancel_all(self, symbol: str | None = None) -> list[TradingResult]:
        """Cancel every working order in the books, or those of one symbol, as cancel() would each (the buys, then the sells); returns the TradingResult of every cancellation asked for."""
    def counters(self) -> dict[str, Any]:
        """The counts of the trading day per symbol, their warning states, the day and whether the session is paused."""

@disjoint_base
class _Coroutine:
    """Coroutine object of a native asynchronous method."""

    __name__: str
    __qualname__: str
    @property
    def cr_running(self) -> bool: ...
    @property
    def cr_await(self) -> Any: ...
    @property
    def cr_frame(self) -> None: ...
    @property
    def cr_code(self) -> None: ...
    def send(self, value: Any) -> Any: ...
    def throw(
        self,
        typ: type[BaseException] | BaseException,
        val: object = None,
        tb: TracebackType | None = None,
    ) -> Any: ...
    def close(self) -> None: ...
    def __await__(self) -> Generator[Any, None, Any]: ...
    def __iter__(self) -> _Coroutine: ...
    def __next__(self) -> Any: ...

def _probe(awaitables: list[Any], catch: type[BaseException] | tuple[type[BaseException], ...] | None = None) -> Coroutine[Any, Any, tuple[Any, ...]]:
    """Test hook: awaits each awaitable in turn and returns the tuple of their results."""
