"""Retry tracking for the trading session's connection and account queries."""

from __future__ import annotations

import time

__all__ = ["Recovery"]


class Recovery:
    """记录一类操作的连续失败；超过上限时 check 抛出 TimeoutError。

    Args:
        label: 操作名称，出现在错误消息中。
        limit: 允许的连续失败次数；None 表示不设上限（无限重试）。
        window: 统计失败的时间窗口（秒）；None 表示不限时间。

    Without a limit the tracker never raises.  With one, ``check`` raises once
    ``limit`` failures have been recorded within ``window`` seconds with no
    success in between, and then starts counting afresh.
    """

    __slots__ = ("label", "limit", "window", "_failures")

    def __init__(self, label: str, limit: int | None = None, window: float | None = None) -> None:
        if not isinstance(label, str):
            raise TypeError("label 必须是 str")
        if limit is not None:
            if isinstance(limit, bool) or not isinstance(limit, int):
                raise TypeError("limit 必须是 int 或 None")
            if limit < 1:
                raise ValueError("limit 必须是正整数")
        if window is not None:
            if isinstance(window, bool) or not isinstance(window, (int, float)):
                raise TypeError("window 必须是数字或 None")
            if not window > 0:
                raise ValueError("window 必须大于 0")
        self.label = label
        self.limit = limit
        self.window = window
        self._failures: list[float] = []

    def begin(self) -> None:
        """Starts a new run: earlier failures no longer count."""
        self._failures.clear()

    def fail(self) -> None:
        """Records one failure now."""
        if self.limit is None:
            return
        self._failures.append(time.monotonic())
        # Only the newest `limit` failures can ever matter.
        del self._failures[: -self.limit]

    def success(self) -> None:
        """Records a success: the failure count starts afresh."""
        self._failures.clear()

    def check(self) -> None:
        """Raises TimeoutError when the failures have reached the limit."""
        if self.limit is None:
            return
        failures = self._failures
        if self.window is not None:
            oldest = time.monotonic() - self.window
            failures[:] = [at for at in failures if at >= oldest]
        if len(failures) < self.limit:
            return
        failures.clear()
        if self.window is None:
            raise TimeoutError(f"{self.label}连续失败 {self.limit} 次")
        raise TimeoutError(f"{self.label}在 {self.window:g} 秒内连续失败 {self.limit} 次")

    def __repr__(self) -> str:
        return (
            f"Recovery({self.label!r}, limit={self.limit!r}, window={self.window!r}, "
            f"failures={len(self._failures)})"
        )
