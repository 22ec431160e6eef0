# Bridge to the broker's trader library.  A session is a capsule named
# "torvo.ctp"; every function that takes one refuses any other object.
import socket
import sys
from typing import Any, TypeAlias

if sys.version_info >= (3, 13):
    from types import CapsuleType as _Capsule
else:
    _Capsule: TypeAlias = object

# The aliases are private: the module itself defines no such names.
_Session: TypeAlias = _Capsule

# One event record per vendor callback, oldest first:
#   {"name": "FrontConnected"}
#   {"name": "FrontDisconnected", "reason": int}
#   {"name": str, "data": dict[str, str | int | float] | None,
#    "error": {"ErrorID": int, "ErrorMsg": str}, "request_id": int, "last": bool}
_Event: TypeAlias = dict[str, Any]

def version() -> str: ...
def create(front_url: str, flow_path: bytes, /) -> _Session: ...
def request(handle: _Session, method: str, fields: dict[str, Any], request_id: int, /) -> int: ...
def poll(handle: _Session, /) -> list[_Event]: ...

# The session's wake-up: a non-blocking socket that receives one byte when an
# event lands in the session's empty queue, and when the queue overflows.
# The same object every time; closed by close().
def wakeup(handle: _Session, /) -> socket.socket: ...
def close(handle: _Session, /) -> None: ...
