"""Tracking output must not change by accident: replays compared field by field with the
traces in tests/golden/ (re-record on purpose with `python tests/golden_trace.py --record`)."""

import golden_trace
import pytest


@pytest.mark.parametrize("case", list(golden_trace.CASES))
def test_replay_matches_golden_trace(case):
    diff = golden_trace.differences(case)
    assert not diff, f"{len(diff)} results differ:\n" + "\n".join(diff[:20])
