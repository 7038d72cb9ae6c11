"""Per-frame records, the run summary and the multi-target overlay."""

from __future__ import annotations

import math
from typing import Any, Dict, Iterable, List, Sequence

import numpy as np

from .sources import require_cv2

# Every property of molvane.TrackResult, in the order the class defines them.
TRACK_RESULT_FIELDS = (
    "frame", "lost", "id", "target_id", "state", "cx", "cy",
    "bbox_x", "bbox_y", "bbox_w", "bbox_h", "hits", "misses",
    "target_score", "target_candidate_score", "confidence", "speed", "reason",
    "suppressed", "suppressed_by_id", "anchor_appearance", "interacting",
    "model_learning_suppressed", "geometry_update_suppressed",
    "geometry_ownership_constrained", "geometry_confidence", "prediction_only",
)

STATES = ("confirmed", "tentative", "lost")


def result_record(result: Any, source_frame: int, update_ms: float) -> Dict[str, Any]:
    """One JSON-ready line: every TrackResult field, plus where and how fast it was made."""
    record: Dict[str, Any] = {"source_frame": source_frame, "update_ms": round(update_ms, 4)}
    for name in TRACK_RESULT_FIELDS:
        value = getattr(result, name)
        # JSON has no NaN or infinity; null says "no number" honestly.
        if isinstance(value, float) and not math.isfinite(value):
            value = None
        record[name] = value
    return record


def observed(record: Dict[str, Any]) -> bool:
    """The target was actually seen in this frame (not lost, not a pure prediction)."""
    return record["state"] != "lost" and not record.get("prediction_only", False)


def summarize(records: Sequence[Dict[str, Any]], update_ms: Sequence[float]) -> Dict[str, Any]:
    """Run summary from the per-result records and the time of each update call.

    Shares are over all (frame, target) results. A reacquisition is a frame in which a
    target is observed again after one or more frames without an observation.
    """
    by_id: Dict[int, List[Dict[str, Any]]] = {}
    for record in records:
        by_id.setdefault(record["id"], []).append(record)

    def shares(rows: Sequence[Dict[str, Any]]) -> Dict[str, float]:
        n = len(rows)
        out = {s: (sum(r["state"] == s for r in rows) / n if n else 0.0) for s in STATES}
        # Results that only extrapolate the motion (reported as tentative by several targets).
        out["predicted"] = sum(bool(r.get("prediction_only")) for r in rows) / n if n else 0.0
        return out

    per_target = []
    for target_id in sorted(by_id):
        rows = by_id[target_id]
        reacq = sum(1 for prev, cur in zip(rows, rows[1:]) if not observed(prev) and observed(cur))
        per_target.append({"id": target_id, "results": len(rows), **shares(rows),
                           "reacquisitions": reacq,
                           "suppressed": sum(bool(r.get("suppressed")) for r in rows)})

    total_ms = float(sum(update_ms))
    mean_ms = total_ms / len(update_ms) if update_ms else 0.0
    return {
        "frames": len(update_ms),
        "targets": len(by_id),
        "results": len(records),
        **shares(records),
        "reacquisitions": sum(t["reacquisitions"] for t in per_target),
        "mean_update_ms": mean_ms,
        "tracking_fps": 1000.0 / mean_ms if mean_ms > 0 else 0.0,
        "per_target": per_target,
    }


def format_summary(summary: Dict[str, Any]) -> str:
    def states(row: Dict[str, Any]) -> str:
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
            lines.append(f"  target {t['id']:<3d}    {states(t)}"
                         f"  reacquisitions {t['reacquisitions']}  suppressed {t['suppressed']}")
    for key in ("wall_seconds", "outputs"):
        if key in summary:
            value = summary[key]
            text = f"{value:.2f} s" if key == "wall_seconds" else ", ".join(value)
            lines.append(f"{key.replace('_', ' '):<16}{text}")
    return "\n".join(lines)


def compose_overlays(frame: np.ndarray, results: Iterable[Any]) -> np.ndarray:
    """One picture with every result's overlay.

    Each result draws its own overlay on its own copy of the frame; the pixels a result
    changed are taken over into the combined picture, later targets on top.
    """
    results = list(results)
    if len(results) == 1:
        return results[0].annotate()
    cv2 = require_cv2()
    base = np.ascontiguousarray(frame)
    if base.ndim == 3 and base.shape[2] == 1:
        base = base[:, :, 0]
    out = base.copy()
    channels = 1 if base.ndim == 2 else base.shape[2]
    for result in results:
        drawn = result.annotate()
        changed = cv2.absdiff(drawn, base)
        if channels > 1:
            # Sum of the channel differences: non-zero exactly where any channel changed.
            changed = cv2.transform(changed, np.ones((1, channels)))
        cv2.copyTo(drawn, changed, out)
    return out
