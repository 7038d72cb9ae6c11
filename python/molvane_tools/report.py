"""Per-frame records in their export layouts, and the run summary."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any

# Every property of molvane.TrackResult, in the order the class defines them.
TRACK_RESULT_FIELDS = (
    "frame",
    "lost",
    "id",
    "target_id",
    "state",
    "cx",
    "cy",
    "bbox_x",
    "bbox_y",
    "bbox_w",
    "bbox_h",
    "hits",
    "misses",
    "target_score",
    "target_candidate_score",
    "confidence",
    "speed",
    "reason",
    "suppressed",
    "suppressed_by_id",
    "anchor_appearance",
    "interacting",
    "model_learning_suppressed",
    "geometry_update_suppressed",
    "geometry_ownership_constrained",
    "geometry_confidence",
    "prediction_only",
)

STATES = ("confirmed", "tentative", "lost")

# Columns of tracks.csv: where the frame came from, the update time, then every result field.
CSV_COLUMNS = ("source", "source_frame", "update_ms") + TRACK_RESULT_FIELDS


def result_record(result: Any, source_frame: int, update_ms: float, source: str | int | None = None) -> dict[str, Any]:
    """One JSON-ready line: every TrackResult field, plus where and how fast it was made.

    source names the frame for people: the image's file name, or the frame index.
    """
    record: dict[str, Any] = {
        "source": source_frame if source is None else source,
        "source_frame": source_frame,
        "update_ms": round(update_ms, 4),
    }
    for name in TRACK_RESULT_FIELDS:
        value = getattr(result, name)
        # JSON has no NaN or infinity; null says "no number" honestly.
        if isinstance(value, float) and not math.isfinite(value):
            value = None
        record[name] = value
    return record


def csv_row(record: dict[str, Any]) -> list:
    """The record as tracks.csv cells, in CSV_COLUMNS order (no number: an empty cell)."""
    return ["" if record[c] is None else record[c] for c in CSV_COLUMNS]


def mot_row(record: dict[str, Any]) -> str | None:
    """The record as a MOTChallenge line frame,id,x,y,w,h,conf,-1,-1,-1; None for a lost target.

    Frames are numbered from 1: the source frame index + 1.
    """
    if record["lost"]:
        return None
    cells = [record["bbox_x"], record["bbox_y"], record["bbox_w"], record["bbox_h"]]
    if any(v is None for v in cells):
        return None
    conf = record["confidence"]
    return "{},{},{:.2f},{:.2f},{:.2f},{:.2f},{:.4f},-1,-1,-1".format(
        record["source_frame"] + 1, record["id"], *cells, 0.0 if conf is None else conf
    )


# Reasons of a target held back by the ownership arbitration: another target owns its
# observation, or the observation's owner is ambiguous.
ARBITRATION_REASONS = frozenset(
    {"coast-owned-by-other", "prediction-owned-by-other", "coast-ambiguous-owner", "prediction-ambiguous-owner"}
)


def shown_state(result: Any) -> str:
    """The state the tool shows for a result (a TrackResult or its record): "suppressed" only
    for a target held back by the arbitration, else "lost" for a target that was not
    observed (its own engine lost it: the multi-target tracker also flags such a result
    suppressed, with suppressed_by_id 0), else the result's state."""
    get = result.get if isinstance(result, dict) else lambda name, default=None: getattr(result, name, default)
    if get("suppressed", False):
        if get("suppressed_by_id", 0) or get("reason", "") in ARBITRATION_REASONS:
            return "suppressed"
        return "lost"
    return str(get("state"))


def observed(record: dict[str, Any]) -> bool:
    """The target was actually seen in this frame (not lost, not a pure prediction)."""
    return record["state"] != "lost" and not record.get("prediction_only", False)


class RunStats:
    """Counts what the summary needs, one result at a time (memory stays constant on long runs).

    Shares are over all (frame, target) results; "suppressed" counts the results held back
    by the arbitration (see shown_state). A reacquisition is a frame in which a
    target is observed again after one or more frames without an observation.
    """

    _COUNTS = STATES + ("predicted", "suppressed", "reacquisitions", "results")

    def __init__(self) -> None:
        self._targets: dict[int, dict[str, int]] = {}
        self._seen: dict[int, bool] = {}
        self.updates = 0
        self.update_ms = 0.0

    def add_update(self, ms: float) -> None:
        self.updates += 1
        self.update_ms += ms

    def add(self, record: dict[str, Any]) -> None:
        target = record["id"]
        counts = self._targets.setdefault(target, dict.fromkeys(self._COUNTS, 0))
        counts["results"] += 1
        counts[record["state"]] = counts.get(record["state"], 0) + 1
        counts["predicted"] += bool(record.get("prediction_only"))
        counts["suppressed"] += shown_state(record) == "suppressed"
        now = observed(record)
        if now and self._seen.get(target) is False:
            counts["reacquisitions"] += 1
        self._seen[target] = now

    @staticmethod
    def _shares(counts: dict[str, int]) -> dict[str, float]:
        n = counts["results"]
        # "predicted": results that only extrapolate the motion (reported as tentative).
        return {s: counts[s] / n if n else 0.0 for s in STATES + ("predicted",)}

    def summary(self) -> dict[str, Any]:
        per_target = [
            {
                "id": t,
                "results": c["results"],
                **self._shares(c),
                "reacquisitions": c["reacquisitions"],
                "suppressed": c["suppressed"],
            }
            for t, c in sorted(self._targets.items())
        ]
        total = {k: sum(c[k] for c in self._targets.values()) for k in self._COUNTS}
        mean_ms = self.update_ms / self.updates if self.updates else 0.0
        return {
            "frames": self.updates,
            "targets": len(self._targets),
            "results": total["results"],
            **self._shares(total),
            "reacquisitions": total["reacquisitions"],
            "mean_update_ms": mean_ms,
            "tracking_fps": 1000.0 / mean_ms if mean_ms > 0 else 0.0,
            "per_target": per_target,
        }


def summarize(records: Iterable[dict[str, Any]], update_ms: Iterable[float]) -> dict[str, Any]:
    """Run summary from the per-result records (in frame order) and the update times."""
    stats = RunStats()
    for record in records:
        stats.add(record)
    for ms in update_ms:
        stats.add_update(ms)
    return stats.summary()


def format_summary(summary: dict[str, Any]) -> str:
    def states(row: dict[str, Any]) -> str:
        text = "  ".join(f"{s} {100 * row[s]:.1f}%" for s in STATES)
        return text + (f"  (predicted only {100 * row['predicted']:.1f}%)" if row["predicted"] else "")

    lines = [
        f"frames          {summary['frames']}  ({summary['targets']} target(s))",
        "states          " + states(summary),
        f"reacquisitions  {summary['reacquisitions']}",
        f"update          {summary['mean_update_ms']:.2f} ms mean  ({summary['tracking_fps']:.0f} fps)",
    ]
    if summary["targets"] > 1:
        for t in summary["per_target"]:
            lines.append(
                f"  target {t['id']:<3d}    {states(t)}"
                f"  reacquisitions {t['reacquisitions']}  suppressed {t['suppressed']}"
            )
    if summary.get("interrupted"):
        by = summary.get("interrupted_by") or "Ctrl-C"
        lines.append(f"interrupted     by {by}; the outputs hold the frames tracked until then")
    if "frames_declared" in summary:
        lines.append(
            f"input           ended after {summary['frames_read']} of the "
            f"{summary['frames_declared']} frames its header states"
        )
    if "wall_seconds" in summary:
        lines.append(f"wall time       {summary['wall_seconds']:.2f} s (decoding and writing included)")
    if "outputs" in summary:
        lines.append("outputs         " + ", ".join(summary["outputs"]))
    return "\n".join(lines)
