"""Hypothesis settings of the property tests: small example counts, so the
property tests take a few seconds; TORVO_HYPOTHESIS_EXAMPLES=N raises every
count to at least N."""

from __future__ import annotations

import os

from hypothesis import HealthCheck, settings


def examples(default: int) -> settings:
    wanted = int(os.environ.get("TORVO_HYPOTHESIS_EXAMPLES") or 0)
    return settings(
        max_examples=max(default, wanted),
        deadline=None,
        database=None,  # nothing written into the checkout
        # Fixtures here hold sessions that every example resets itself.
        suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
    )
