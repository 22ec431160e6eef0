"""Bridge sessions used from several threads at once, as a careless or hostile
caller would: close() while requests are in flight must not crash."""

import gc
import threading
import time

import pytest

from front import Front
from relay_support import flow_path, wait_events
from torvo import _relay

CLOSED = "CTP 接口已关闭"
ROUNDS = 20


def _requester(handle, started, outcome):
    """Loops QryOrder until the session reports closed.  Keeps the loop short
    (so the threads spend their time inside the library) and records the
    count of int results, any other result, and the error that ended it."""
    request = _relay.request
    fields = {"BrokerID": "9999"}
    answered = 0
    try:
        while True:
            result = request(handle, "QryOrder", fields, 1)
            if type(result) is not int:
                outcome["odd"] = result
                return
            answered += 1
            if answered == 1:
                started.set()
    except BaseException as exc:
        outcome["error"] = exc
    finally:
        outcome["answered"] = answered


def _greet(front, handle) -> None:
    """Greets the session's connection.  A session of an earlier test that is
    not collected yet keeps reconnecting to its own front's port, which a new
    front may have been given again: the front then greets that connection
    first, and the session's own waits next in the backlog."""
    for _ in range(5):
        front.accept()
        try:
            assert wait_events(handle, 1, timeout=3.0) == [{"name": "FrontConnected"}]
            return
        except AssertionError:
            continue
    raise AssertionError("the session was never greeted")


def _one_round(front, directory, requesters, closers):
    handle = _relay.create(front.url, flow_path(directory))
    try:
        _greet(front, handle)
        starts = [threading.Event() for _ in range(requesters)]
        outcomes: list[dict] = [{} for _ in range(requesters)]
        threads = [threading.Thread(target=_requester, args=(handle, starts[i], outcomes[i]))
                   for i in range(requesters)]
        for thread in threads:
            thread.start()
        for started in starts:
            assert started.wait(10.0), "a requester never got a request through"
        time.sleep(0.01)  # more requests go through, and some are inside the library

        closing = [threading.Thread(target=_relay.close, args=(handle,)) for _ in range(closers)]
        for closer in closing:
            closer.start()
        for closer in closing:
            closer.join(30.0)
            assert not closer.is_alive(), "close() did not return"
        for thread in threads:
            thread.join(30.0)
            assert not thread.is_alive(), "a request did not return after close()"

        for outcome in outcomes:
            # Ints while open (0 when sent, or the library's own negative
            # codes), then the "closed" error, which ended the loop.
            assert "odd" not in outcome, outcome
            assert outcome["answered"] > 0
            error = outcome.get("error")
            assert type(error) is RuntimeError and str(error) == CLOSED, outcome
        with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
            _relay.request(handle, "QryOrder", {}, 2)
    finally:
        _relay.close(handle)


# Two requesters and one closer is the reported case.  With eight requesters
# some are nearly always inside the library when close() runs (before the fix
# that made use of the released library object in most runs, which the
# sanitizer build reports every time); the second closer finds the session
# already closing and returns once the shutdown is complete.
#
# Each round has a front of its own: a library of an earlier round may have
# reconnected before it was closed (its requests fill the silent front's
# buffer until a send times out), and a shared front could then greet that
# dead connection instead of the new library's.
@pytest.mark.parametrize("requesters, closers", [(2, 1), (8, 2)])
def test_close_waits_for_requests_in_flight_on_other_threads(tmp_path, requesters, closers):
    gc.collect()  # sessions of earlier tests left to the collector stop reconnecting
    for round_ in range(ROUNDS):
        directory = tmp_path / str(round_)
        directory.mkdir()
        with Front() as front:
            _one_round(front, directory, requesters, closers)
