"""Native: the lazily imported bridge, the flow path and the forwarding of
request, poll and close."""

import asyncio
import os
import pathlib
import subprocess
import sys
import types

import pytest

from torvo import trading
from torvo.data import ExError
from trading_support import CONFIG, until

MISSING = "CTP 原生模块不可用，请安装适用于当前 64 位平台的 torvo wheel"


class Bridge(types.ModuleType):
    """A stand-in bridge module that records its calls."""

    def __init__(self):
        super().__init__("torvo._relay")
        self.calls = []

    def create(self, front_url, flow_path):
        self.calls.append(("create", front_url, flow_path))
        return object()

    def request(self, handle, method, fields, request_id):
        self.calls.append(("request", handle, method, fields, request_id))
        return -3

    def poll(self, handle):
        self.calls.append(("poll", handle))
        return [{"name": "FrontConnected"}]

    def close(self, handle):
        self.calls.append(("close", handle))


@pytest.fixture
def bridge(monkeypatch):
    b = Bridge()
    monkeypatch.setitem(sys.modules, "torvo._relay", b)
    return b


def test_native_opens_a_session_on_the_bridge_in_sys_modules(bridge):
    native = trading.Native(CONFIG, "/flow/dir")
    assert native.module is bridge
    assert bridge.calls == [("create", "tcp://127.0.0.1:1", os.fsencode("/flow/dir" + os.sep))]
    handle = native.handle
    assert native.request("QryOrder", {"a": 1}, 7) == -3
    assert native.poll() == [{"name": "FrontConnected"}]
    assert native.close() is None
    native.close()
    assert bridge.calls[1:] == [
        ("request", handle, "QryOrder", {"a": 1}, 7),
        ("poll", handle),
        ("close", handle),
        ("close", handle),
    ]


def test_trading_calls_the_overrides_of_a_native_subclass(bridge):
    class Wrapped(trading.Native):
        def request(self, method, data, request_id):
            bridge.calls.append(("wrapped request", method))
            return 0

        def poll(self):
            bridge.calls.append(("wrapped poll",))
            return []

        def close(self):
            bridge.calls.append(("wrapped close",))

    async def main():
        s = trading.Trading(CONFIG, 5, {}, native_factory=Wrapped)
        s.directory = "/flow/dir"
        s.start()
        await until(lambda: ("wrapped poll",) in bridge.calls)
        s._request("QryOrder")
        await s.close()

    asyncio.run(main())
    assert {call[0] for call in bridge.calls} == {"create", "wrapped poll", "wrapped request", "wrapped close"}


@pytest.mark.parametrize(
    "directory, expected",
    [
        (pathlib.Path("/flow/dir"), "/flow/dir" + os.sep),
        ("/flow/dir", "/flow/dir" + os.sep),
        ("/flow/dir" + os.sep, "/flow/dir" + os.sep + os.sep),  # always appended
        ("/流水", "/流水" + os.sep),
    ],
)
def test_flow_path(bridge, directory, expected):
    trading.Native(CONFIG, directory)
    assert bridge.calls[0][2] == os.fsencode(expected)


def test_flow_path_on_windows_uses_mbcs(bridge, monkeypatch):
    fsencoded = []
    fake_os = types.SimpleNamespace(sep="\\", name="nt", fsencode=fsencoded.append)
    monkeypatch.setattr(trading, "os", fake_os)
    try:
        expected = "C:\\flow\\".encode("mbcs")
    except LookupError:
        expected = None
    if expected is None:  # no such codec off Windows: the failure names it
        with pytest.raises(LookupError, match="mbcs"):
            trading.Native(CONFIG, "C:\\flow")
    else:
        trading.Native(CONFIG, "C:\\flow")
        assert bridge.calls[0][2] == expected
    assert fsencoded == []


def test_errors_of_the_bridge_pass_through_unchanged(bridge):
    native = trading.Native(CONFIG, "/flow")

    def refuse(*args):
        raise ValueError("不支持的 CTP 请求")

    def overflow(handle):
        raise BufferError("CTP 回调队列已满")

    bridge.request, bridge.poll = refuse, overflow
    native.module = bridge  # a new module object (or new functions) is picked up
    with pytest.raises(ValueError, match="不支持的 CTP 请求"):
        native.request("Nope", {}, 1)
    with pytest.raises(BufferError, match="CTP 回调队列已满"):
        native.poll()


def test_config_without_front_url(bridge):
    with pytest.raises(AttributeError):
        trading.Native(object(), "/flow")


def test_missing_bridge_raises_ex_error_with_the_import_error_as_cause(monkeypatch):
    monkeypatch.setitem(sys.modules, "torvo._relay", None)
    with pytest.raises(ExError) as info:
        trading.Native(CONFIG, "/flow")
    assert info.value.args == (MISSING,)
    assert isinstance(info.value.__cause__, ImportError)
    assert info.value.__suppress_context__


def test_other_import_failures_propagate(monkeypatch):
    class Finder:
        def find_spec(self, name, path=None, target=None):
            if name == "torvo._relay":
                raise RuntimeError("loader broke")
            return None

    monkeypatch.delitem(sys.modules, "torvo._relay", raising=False)
    monkeypatch.delattr(sys.modules["torvo"], "_relay", raising=False)
    monkeypatch.setattr(sys, "meta_path", [Finder(), *sys.meta_path])
    with pytest.raises(RuntimeError, match="loader broke"):
        trading.Native(CONFIG, "/flow")


def test_trading_imports_without_the_bridge():
    code = (
        "import sys; sys.modules['torvo._relay'] = None\n"
        "from torvo import trading\n"
        "print(trading.Native.__name__)\n"
    )
    root = pathlib.Path(trading.__file__).resolve().parent.parent
    env = dict(os.environ, PYTHONPATH=str(root))
    # Run from the package's own root so the child imports this very package.
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                         cwd=root, check=True)
    assert out.stdout.strip() == "Native"
