"""The simulated front on the network: connections, the login chain, the
queries, the faults, and `Simulator`, which runs it on a thread of its own."""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import datetime
import socket
import threading

from .exchange import ERRORS, Account, Exchange, Login
from .wire import KIND_CALLBACK, KIND_GREETING, KIND_HEARTBEAT, KIND_REQUEST, encode_frame, \
    read_frame, request_fields
from .world import DEFAULT_WORLD, TZ, default_trading_day, load_world

__all__ = ["Server", "Simulator", "PHASES"]

# Query requests and the callbacks that answer them.
QUERIES = {
    "ReqQryInstrument": "OnRspQryInstrument",
    "ReqQryOrder": "OnRspQryOrder",
    "ReqQryTrade": "OnRspQryTrade",
    "ReqQryInvestorPosition": "OnRspQryInvestorPosition",
    "ReqQryTradingAccount": "OnRspQryTradingAccount",
}

# The login snapshot, as a session queries it: the connection's first six
# queries, in this order.
STEPS = ("instruments", "orders", "trades_before", "positions", "trades_after", "account")
# Points at which `drop` can cut a connection: on the arrival of the login
# phase's request, or of the snapshot step's query ("sync": the first query).
PHASES = ("authenticate", "login", "settlement", "sync") + STEPS
_PHASE_OF = {"ReqAuthenticate": "authenticate", "ReqUserLogin": "login",
             "ReqSettlementInfoConfirm": "settlement"}

_DEFAULT_INTERVAL = 0.3
HEARTBEAT = encode_frame(KIND_HEARTBEAT, "Heartbeat")

# How far a library may fall behind in reading before the front closes its
# connection: frames queued and not yet sent, or their bytes.  Large enough
# for what queues up while the front is frozen (`freeze`) or its responses
# delayed; a client that sends without reading reaches it.
MAX_BEHIND_FRAMES = 100_000
MAX_BEHIND_BYTES = 64 << 20


def _error_for(code: int, message: str | None) -> tuple[int, str]:
    if message is None:
        message = next((msg for known, msg in ERRORS.values() if known == code),
                       "CTP:请求失败，请稍后重试")
    return int(code), message


class Connection:
    """One library connection: its login state and its outgoing frames, sent
    in order, each not before its due time (the delay fault), and none while
    the front is frozen; a heartbeat goes out whenever nothing else did for
    the heartbeat interval, straight past frames held back by a delay (a
    slow response is no silent front)."""

    def __init__(self, number: int, reader, writer, thawed: asyncio.Event, heartbeat: float,
                 log=None):
        self.number = number
        self.log = log or (lambda line: None)
        self.thawed = thawed
        self.heartbeat = heartbeat
        self.greeted = False   # the greeting, always the first frame, went out
        self.reader, self.writer = reader, writer
        self.loop = asyncio.get_running_loop()
        self.last_sent = self.loop.time()
        self.authenticated: Account | None = None     # the account whose client authenticated
        self.login: Login | None = None               # its Login once logged in
        self.queries = 0
        self.max_request_id = 0
        self.closed = False
        self.outbox: asyncio.Queue = asyncio.Queue()
        self.queued_bytes = 0
        self.sender = asyncio.ensure_future(self._send_loop())
        self.beater = asyncio.ensure_future(self._beat_loop()) if heartbeat > 0 else None

    def put(self, frame: bytes, delay: float = 0.0):
        if self.closed:
            return
        if (self.outbox.qsize() >= MAX_BEHIND_FRAMES
                or self.queued_bytes + len(frame) > MAX_BEHIND_BYTES):
            self.log(f"connection {self.number}: the library fell {self.outbox.qsize()} frames "
                     f"({self.queued_bytes} bytes) behind in reading, closing")
            self.close(abort=True)
            return
        self.queued_bytes += len(frame)
        self.outbox.put_nowait((self.loop.time() + delay, frame))

    def send(self, name: str, data: dict | None = None, *, request_id: int = 0,
             last: bool = True, error=None, delay: float = 0.0):
        self.put(encode_frame(KIND_CALLBACK, name, request_id=request_id, last=last,
                              error=error, data=data), delay)

    async def _send_loop(self):
        try:
            while True:
                due, frame = await self.outbox.get()
                self.queued_bytes -= len(frame)
                wait = due - self.loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                await self.thawed.wait()
                self.writer.write(frame)
                self.last_sent = self.loop.time()
                self.greeted = True
                await self.writer.drain()
        except (ConnectionError, OSError):
            self.close()

    def _beat(self) -> bool:
        """Writes a heartbeat now, past the queue; not before the greeting,
        nor while frozen.  Whole frames only, so none interleave."""
        if self.closed or not self.greeted or not self.thawed.is_set():
            return False
        self.writer.write(HEARTBEAT)
        self.last_sent = self.loop.time()
        return True

    async def _beat_loop(self):
        while True:
            idle = self.loop.time() - self.last_sent
            if idle >= self.heartbeat and self._beat():
                idle = 0.0
            await asyncio.sleep(max(self.heartbeat - idle, 0.01))

    def answer_heartbeat(self):
        """A heartbeat from the library is answered unless something went out
        within the last half interval."""
        if self.loop.time() - self.last_sent >= self.heartbeat / 2:
            self._beat()

    def close(self, abort: bool = False):
        """Closes the connection; `abort` drops what the socket has not sent
        yet (a plain close waits for it to go out, which a library that does
        not read never lets happen)."""
        if self.closed:
            return
        self.closed = True
        self.sender.cancel()
        if self.beater is not None:
            self.beater.cancel()
        self.outbox = asyncio.Queue()
        self.queued_bytes = 0
        if abort:
            self.writer.transport.abort()
        else:
            self.writer.close()


class Server:
    """The front: listens, greets, answers requests, pushes returns, and
    plays the faults.  Every method runs on the server's event loop."""

    def __init__(self, world=None, *, seed: int = 0, log=None, heartbeat: float = 1.0,
                 heartbeat_timeout: float = 5.0):
        # As the greeting carries them: whole milliseconds in an i32.
        interval_ms, timeout_ms = round(heartbeat * 1000), round(heartbeat_timeout * 1000)
        if not (0 <= interval_ms <= 2**31 - 1 and (interval_ms == 0 or interval_ms < timeout_ms <= 2**31 - 1)
                and (interval_ms > 0 or heartbeat == 0)):
            raise ValueError("the heartbeat interval is 0 (none) or at least 1 ms, and its timeout "
                             "longer, in whole milliseconds below 2**31")
        self.world = world if hasattr(world, "instruments") else load_world(world)
        self.heartbeat = float(heartbeat)
        self.heartbeat_timeout = float(heartbeat_timeout)
        self.thawed = asyncio.Event()
        self.thawed.set()
        self._thaw_timer: asyncio.TimerHandle | None = None
        self._line = log
        self.exchange = Exchange(self.world, seed=seed, log=self._log)
        self.exchange.deliver = self._deliver
        self.query_rate = self.world.query_rate
        self.interval = self.world.interval or _DEFAULT_INTERVAL
        self.held = self.world.interval == 0
        self.conns: list[Connection] = []
        self.url: str | None = None
        self._numbers = 0
        self._listener: asyncio.AbstractServer | None = None
        self._ticker: asyncio.Future | None = None
        # Faults.
        self.drop_at: set[str] = set()
        self.freeze_at: dict[str, float | None] = {}
        self.query_failure_at: str | None = None
        self.login_refusals = 0
        self.login_refusal = _error_for(90, "CTP:前置正忙，请稍后重新登录")
        self.query_failures = 0
        self.query_failure = _error_for(90, None)
        self.delay = 0.0
        self.repush_at: str | None = None

    def _log(self, text: str):
        if self._line is not None:
            clock = datetime.datetime.now(TZ).strftime("%H:%M:%S.%f")[:-3]
            self._line(f"{clock} {text}")

    # -- running ---------------------------------------------------------------

    async def start(self, host: str = "127.0.0.1", port: int = 0):
        listener = self._listener = await asyncio.start_server(self._serve, host, port)
        port = listener.sockets[0].getsockname()[1]
        self.url = f"tcp://[{host}]:{port}" if ":" in host else f"tcp://{host}:{port}"
        self._ticker = asyncio.ensure_future(self._tick_loop())

    async def stop(self):
        if self._ticker is not None:
            self._ticker.cancel()
        if self._listener is not None:
            self._listener.close()
        for conn in list(self.conns):
            conn.close()
        if self._listener is not None:
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(self._listener.wait_closed(), 5)

    async def _tick_loop(self):
        while True:
            await asyncio.sleep(self.interval)
            if not self.held:
                try:
                    self.exchange.step()
                except Exception as exc:   # keep the market going; say what broke
                    self._log(f"market step failed: {exc!r}")

    async def _serve(self, reader, writer):
        sock = writer.get_extra_info("socket")
        if sock is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._numbers += 1
        conn = Connection(self._numbers, reader, writer, self.thawed, self.heartbeat,
                          log=self._log)
        self.conns.append(conn)
        try:
            conn.put(encode_frame(KIND_GREETING, "Greeting", data={
                "QueryRate": self.query_rate, "HeartbeatInterval": round(self.heartbeat * 1000),
                "HeartbeatTimeout": round(self.heartbeat_timeout * 1000)}))
            while not conn.closed:
                await self.thawed.wait()
                frame = await read_frame(reader)
                await self.thawed.wait()   # a frame read as the front froze waits too
                if frame["kind"] == KIND_HEARTBEAT:
                    conn.answer_heartbeat()
                    continue
                if self.freeze_at and self._freezes_at(frame["name"], conn):
                    await self.thawed.wait()   # the request is read only after the thaw
                if frame["kind"] != KIND_REQUEST:
                    self._log(f"connection {conn.number}: not a request frame, closing")
                    break
                self._request(conn, frame)
        except (asyncio.IncompleteReadError, ConnectionError, OSError):
            pass
        except ValueError as exc:
            self._log(f"connection {conn.number}: malformed frame ({exc}), closing")
        except Exception as exc:   # a fault of the simulator itself: say so, drop the line
            self._log(f"connection {conn.number}: internal error {exc!r}, closing")
            raise
        finally:
            conn.close()
            self.conns.remove(conn)
            who = f" ({conn.login.account.user_id})" if conn.login else ""
            self._log(f"connection {conn.number}{who} closed")

    def _deliver(self, account, name, data, error):
        for conn in self.conns:
            if conn.login is not None and conn.login.account is account:
                conn.send(name, data, error=error)

    # -- requests ----------------------------------------------------------------

    def _request(self, conn: Connection, frame: dict):
        name, rid = frame["name"], frame["request_id"]
        fields = request_fields(frame["data"])
        conn.max_request_id = max(conn.max_request_id, rid)
        phase = _PHASE_OF.get(name)
        step = None
        if name in QUERIES:
            step = STEPS[conn.queries] if conn.queries < len(STEPS) else None
            phase = "sync" if conn.queries == 0 else None
            conn.queries += 1
        for point in (phase, step):
            if point is not None and point in self.drop_at:
                self.drop_at.discard(point)
                self._log(f"fault: connection {conn.number} dropped at {point} ({name})")
                conn.close()
                return

        def reply(callback, data=None, error=None, *, last=True):
            conn.send(callback, data, request_id=rid, last=last, error=error, delay=self.delay)

        login = conn.login
        if name == "ReqAuthenticate":
            data, error, account = self.exchange.authenticate(fields)
            if account is not None:
                conn.authenticated = account
            reply("OnRspAuthenticate", data, error)
        elif name == "ReqUserLogin":
            if self.login_refusals:
                self.login_refusals -= 1
                self._log(f"fault: login of {fields.get('UserID', '')!r} refused with "
                          f"{self.login_refusal[0]} ({self.login_refusals} more)")
                reply("OnRspUserLogin", {"TradingDay": self.exchange.day}, self.login_refusal)
                return
            login, data, error = self.exchange.login(fields, conn.authenticated)
            conn.login = login or conn.login
            reply("OnRspUserLogin", data, error)
            if login is not None and self.repush_at == "login":
                self._repush(conn)
        elif login is None:
            callback = QUERIES.get(name) or {
                "ReqSettlementInfoConfirm": "OnRspSettlementInfoConfirm",
                "ReqOrderInsert": "OnRspOrderInsert",
                "ReqOrderAction": "OnRspOrderAction"}.get(name, "OnRspError")
            reply(callback, None, ERRORS["not_logged_in"])
        elif name == "ReqSettlementInfoConfirm":
            reply("OnRspSettlementInfoConfirm", self.exchange.confirm(login, fields), ERRORS["ok"])
            if self.repush_at == "settlement":
                self._repush(conn)
        elif name in QUERIES:
            callback = QUERIES[name]
            if self.query_failures and self.query_failure_at in (None, step):
                self.query_failures -= 1
                self._log(f"fault: {name} answered with error {self.query_failure[0]} "
                          f"({self.query_failures} more)")
                reply(callback, None, self.query_failure)
                return
            rows = self.exchange.query(login, name, fields)
            if not rows:
                reply(callback, None)
            for index, row in enumerate(rows):
                reply(callback, row, last=index == len(rows) - 1)
        elif name == "ReqOrderInsert":
            self.exchange.insert(login, fields, reply)
        elif name == "ReqOrderAction":
            self.exchange.cancel(login, fields, reply)
        else:
            reply("OnRspError", None, _error_for(15, "CTP:不支持的请求"))

    def _freezes_at(self, name: str, conn: Connection) -> bool:
        point = _PHASE_OF.get(name)
        if name in QUERIES:
            point = STEPS[conn.queries] if conn.queries < len(STEPS) else None
            if conn.queries == 0 and "sync" in self.freeze_at:
                point = "sync"
        if point is None or point not in self.freeze_at:
            return False
        seconds = self.freeze_at.pop(point)
        self._log(f"fault: connection {conn.number} reached {point} ({name})")
        self.freeze(seconds)
        return True

    def _repush(self, conn: Connection):
        assert conn.login is not None
        journal = conn.login.account.journal
        for name, data, error in journal:
            conn.send(name, data, error=error, delay=self.delay)
        self._log(f"fault: re-pushed {len(journal)} returns of the day to connection "
                  f"{conn.number}")

    # -- faults ------------------------------------------------------------------

    def drop(self, phase: str | None = None):
        if phase is None:
            for conn in list(self.conns):
                conn.close()
            self._log("fault: every connection dropped")
            return
        if phase not in PHASES:
            raise ValueError(f"phase must be one of {', '.join(PHASES)}")
        self.drop_at.add(phase)
        self._log(f"fault: the next connection to reach {phase} will be dropped")

    def freeze(self, seconds: float | None = None, at: str | None = None):
        if seconds is not None and not seconds > 0:
            raise ValueError("freeze for a number of seconds above 0, or None until thaw()")
        if at is not None:
            if at not in PHASES:
                raise ValueError(f"at must be one of {', '.join(PHASES)}")
            self.freeze_at[at] = seconds
            self._log(f"fault: the front will freeze when a connection reaches {at}")
            return
        if self._thaw_timer is not None:
            self._thaw_timer.cancel()
            self._thaw_timer = None
        self.thawed.clear()
        if seconds is not None:
            self._thaw_timer = asyncio.get_running_loop().call_later(seconds, self.thaw)
        until = f"for {seconds:g} s" if seconds is not None else "until thawed"
        self._log(f"fault: front frozen {until}: nothing read or sent, connections kept open")

    def thaw(self):
        if self._thaw_timer is not None:
            self._thaw_timer.cancel()
            self._thaw_timer = None
        if not self.thawed.is_set():
            self.thawed.set()
            self._log("fault: front thawed")

    def refuse_logins(self, n: int = 1, code: int = 90, message: str | None = None):
        self.login_refusals = int(n)
        self.login_refusal = _error_for(code, message or "CTP:前置正忙，请稍后重新登录")
        self._log(f"fault: the next {n} logins are refused with {code}")

    def fail_queries(self, n: int = 1, code: int = 90, message: str | None = None, at: str | None = None):
        if at is not None and at not in STEPS:
            raise ValueError(f"at must be one of {', '.join(STEPS)}")
        self.query_failures = int(n)
        self.query_failure = _error_for(code, message)
        self.query_failure_at = at
        where = f" at {at}" if at else ""
        self._log(f"fault: the next {n} queries{where} are answered with error {code}")

    def delay_responses(self, seconds: float):
        if not seconds >= 0:
            raise ValueError("the delay must be a number of seconds, at least 0")
        self.delay = float(seconds)
        self._log(f"fault: responses delayed by {seconds:g} s")

    def trade_before_order(self, n: int = 1):
        self.exchange.trades_first = int(n)
        self._log(f"fault: the next {n} trades are pushed before their order returns")

    def repush(self, at: str | None = "login"):
        if at not in ("login", "settlement", None):
            raise ValueError('at must be "login", "settlement" or None')
        self.repush_at = at
        self._log(f"fault: the day's returns are re-pushed after each {at}" if at
                  else "fault: no more re-pushing of the day's returns")

    def set_trading_day(self, day: str | None = None):
        if day is None:
            current = datetime.datetime.strptime(self.exchange.day, "%Y%m%d")
            day = default_trading_day((current + datetime.timedelta(days=1)).replace(tzinfo=TZ))
        if not (isinstance(day, str) and len(day) == 8 and day.isdigit() and day.isascii()):
            raise ValueError("the trading day is eight digits YYYYMMDD")
        self.exchange.set_trading_day(day)

    def push(self, name: str, rows: list, user_id: str | None = None) -> int:
        account = self.exchange.accounts.get(user_id) if user_id else next(iter(self.exchange.accounts.values()))
        if account is None:
            raise ValueError(f"unknown account {user_id!r}")
        sent = 0
        for conn in self.conns:
            if conn.login is not None and conn.login.account is account:
                for row in rows:
                    conn.send(name, row)
                sent += 1
        return sent

    def rsp_error(self, code: int = 1, message: str = "CTP:前置内部错误",
                  request_id: int | None = None):
        for conn in self.conns:
            rid = conn.max_request_id + 1_000_000 if request_id is None else request_id
            conn.send("OnRspError", None, request_id=rid, error=(int(code), message))
            self._log(f"fault: RspError {code} with request id {rid} to connection {conn.number}")


def _demo_account() -> dict:
    info = DEFAULT_WORLD["accounts"][0]
    return {"broker_id": info["broker_id"], "user_id": info["user_id"],
            "password": info["password"], "front_url": "tcp://127.0.0.1:40205",
            "app_id": info["app_id"], "auth_code": info["auth_code"]}


class Simulator:
    """A simulated trading front running on a background thread.

    ``with Simulator() as sim:`` starts it on an ephemeral loopback port;
    ``sim.url`` is the address to log in to and ``sim.account()`` the demo
    account with that address, in the field order of `CtpAccount`.  Every
    method may be called from any thread; it runs on the simulator's own
    event loop and returns its result (or raises its error).
    """

    DEMO_ACCOUNT = _demo_account()

    def __init__(self, world=None, *, host: str = "127.0.0.1", port: int = 0, seed: int = 0,
                 log=None, heartbeat: float = 1.0, heartbeat_timeout: float = 5.0):
        self.server = Server(world, seed=seed, log=log, heartbeat=heartbeat,
                             heartbeat_timeout=heartbeat_timeout)
        self.host, self.port = host, port
        self.url: str | None = None
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stopping: asyncio.Event | None = None

    # -- running ---------------------------------------------------------------

    def start(self) -> "Simulator":
        if self._thread is not None:
            return self
        ready = threading.Event()
        failure: list[BaseException] = []

        async def main():
            self._loop = asyncio.get_running_loop()
            self._stopping = asyncio.Event()
            try:
                await self.server.start(self.host, self.port)
            except BaseException as exc:
                failure.append(exc)
                ready.set()
                return
            self.url = self.server.url
            ready.set()
            try:
                await self._stopping.wait()
            finally:
                await self.server.stop()

        self._thread = threading.Thread(target=asyncio.run, args=(main(),),
                                        name="torvo-sim", daemon=True)
        self._thread.start()
        ready.wait()
        if failure:
            self._thread.join()
            self._thread = self._loop = None
            raise failure[0]
        return self

    def stop(self) -> None:
        thread, loop, stopping = self._thread, self._loop, self._stopping
        if thread is None or loop is None or stopping is None:
            return
        with contextlib.suppress(RuntimeError):     # the loop has already ended
            loop.call_soon_threadsafe(stopping.set)
        thread.join()
        self._thread = self._loop = None

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def _call(self, function, *args):
        loop = self._loop
        if self._thread is None or loop is None or threading.current_thread() is self._thread:
            return function(*args)
        done: concurrent.futures.Future = concurrent.futures.Future()

        def run():
            try:
                done.set_result(function(*args))
            except BaseException as exc:
                done.set_exception(exc)

        loop.call_soon_threadsafe(run)
        return done.result()

    def account(self, user_id: str | None = None) -> dict:
        """The six `CtpAccount` fields of an account of the world (the first
        one by default), its front address this simulator's `url`."""
        accounts = self.server.world.accounts
        info = accounts[user_id] if user_id is not None else next(iter(accounts.values()))
        return {"broker_id": info.broker_id, "user_id": info.user_id, "password": info.password,
                "front_url": self.url, "app_id": info.app_id, "auth_code": info.auth_code}

    # -- the market --------------------------------------------------------------

    def set_price(self, symbol: str, price: float, size: int | None = None) -> None:
        """Moves the last price of `symbol`; the best bid is one tick below it,
        the best ask one tick above, each level `size` lots when given.
        Resting orders that the new book reaches fill."""
        self._call(self.server.exchange.set_price, symbol, price, size)

    def hold(self, still: bool = True) -> None:
        """Holds every market still (True) or lets the random walk go on."""
        def run():
            self.server.held = bool(still)
        self._call(run)

    def step(self, n: int = 1) -> None:
        """Moves every market `n` random-walk steps at once."""
        def run():
            for _ in range(n):
                self.server.exchange.step()
        self._call(run)

    def market_message(self, symbol: str) -> dict:
        """The current quote of `symbol` as a market-data message."""
        return self._call(self.server.exchange.quote_message, symbol)

    def bar_message(self, symbol: str, period: str) -> dict:
        """The current bar of `symbol` for `period` ("1m" ... "1d")."""
        return self._call(self.server.exchange.bar_message, symbol, period)

    def book(self, user_id: str) -> dict:
        """The front's own record of an account: orders, trades, positions
        and funds, as plain dicts; orders by local order id, trades by
        (ExchangeID, TradeID stripped, "BUY" or "SELL").  Orders the front
        refused itself (never at the exchange) are left out, as the front's
        order query leaves them out."""
        return self._call(self.server.exchange.book, user_id)

    @property
    def trading_day(self) -> str:
        return self.server.exchange.day

    def set_query_rate(self, rate: int) -> None:
        """The query rate announced to connections greeted from now on."""
        if type(rate) is not int or rate < 0:
            raise ValueError("the query rate is an int, at least 0")

        def run():
            self.server.query_rate = rate
        self._call(run)

    # -- faults ------------------------------------------------------------------

    def drop(self, phase: str | None = None) -> None:
        """Drops every connection now, or the next connection that reaches
        `phase`: "authenticate", "login", "settlement", "sync" (its first
        query) or a step of the login snapshot ("instruments", "orders",
        "trades_before", "positions", "trades_after", "account")."""
        self._call(self.server.drop, phase)

    def freeze(self, seconds: float | None = None, *, at: str | None = None) -> None:
        """Freezes the front as a hung process would: nothing is read or sent
        (heartbeats included) and no new connection is greeted, but every
        socket stays open; for `seconds`, or until `thaw()` when None.  With
        `at` (a point of `drop`), it freezes when the next connection reaches
        that point, before reading that request."""
        self._call(self.server.freeze, seconds, at)

    def thaw(self) -> None:
        """Ends a freeze: what queued up meanwhile goes out, in order."""
        self._call(self.server.thaw)

    def refuse_logins(self, n: int = 1, code: int = 90, message: str | None = None) -> None:
        """Refuses the next `n` logins with error `code`."""
        self._call(self.server.refuse_logins, n, code, message)

    def fail_queries(self, n: int = 1, code: int = 90, message: str | None = None, at: str | None = None) -> None:
        """Answers the next `n` queries with error `code` (90 or 154 are the
        front's "try again later"); with `at`, a step of the login snapshot,
        only queries of that step."""
        self._call(self.server.fail_queries, n, code, message, at)

    def delay_responses(self, seconds: float) -> None:
        """Holds every response back `seconds` (0 ends the delay); returns
        queued behind a delayed response wait for it."""
        self._call(self.server.delay_responses, seconds)

    def trade_before_order(self, n: int = 1) -> None:
        """Pushes the next `n` trades ahead of their order's return."""
        self._call(self.server.trade_before_order, n)

    def repush(self, at: str | None = "login") -> None:
        """Re-pushes the account's order returns and trades of the day after
        every login ("login") or settlement confirmation ("settlement");
        None stops it."""
        self._call(self.server.repush, at)

    def set_trading_day(self, day: str | None = None) -> None:
        """Settles the day and starts trading day `day` (default: the next
        weekday)."""
        self._call(self.server.set_trading_day, day)

    def push(self, name: str, rows: list, user_id: str | None = None) -> int:
        """Sends each of `rows` as callback `name` ("OnRtnOrder", "OnRtnTrade",
        "OnRspQryTradingAccount", ...) to every logged-in connection of the
        account (default: the world's first), as they are, without touching
        the front's book; returns the number of connections.  Fields of one
        character are given as `Char`; for load and robustness tests."""
        return self._call(self.server.push, name, list(rows), user_id)

    def rsp_error(self, code: int = 1, message: str = "CTP:前置内部错误",
                  request_id: int | None = None) -> None:
        """Sends every connection an RspError, by default with a request id
        the connection has never used."""
        self._call(self.server.rsp_error, code, message, request_id)
