"""Benchmark tooling: the accuracy metrics on hand-made boxes, and the synthetic sky scenes
(deterministic, ground truth that matches what is drawn)."""

import copy

import numpy as np
import pytest
import track_metrics as tm
from molvane_tools.scenes import named, sprites

NAN4 = (np.nan,) * 4


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ((0, 0, 10, 10), (0, 0, 10, 10), 1.0),
        ((0, 0, 10, 10), (5, 0, 10, 10), 50 / 150),
        ((0, 0, 10, 10), (2, 2, 5, 5), 25 / 100),  # contained
        ((0, 0, 10, 10), (10, 0, 10, 10), 0.0),  # touching edges only
        ((0, 0, 10, 10), (30, 30, 4, 4), 0.0),
        ((0, 0, 0, 0), (0, 0, 0, 0), 0.0),  # empty boxes: no division by zero
        (NAN4, (0, 0, 10, 10), 0.0),  # no box reported
    ],
)
def test_iou_known_values(a, b, expected):
    assert tm.iou(np.array([a], float), np.array([b], float))[0] == pytest.approx(expected)
    assert tm.iou(np.array([b], float), np.array([a], float))[0] == pytest.approx(expected)


def test_center_error_and_precision():
    pred = tm.as_boxes([(0, 0, 10, 10), (3, 4, 10, 10), None, (100, 0, 10, 10)])
    gt = np.tile([0.0, 0.0, 10.0, 10.0], (4, 1))
    err = tm.center_error(pred, gt)
    assert err[:2] == pytest.approx([0.0, 5.0])
    assert np.isinf(err[2])
    assert err[3] == pytest.approx(100.0)
    assert tm.precision_at(err, 5.0) == pytest.approx(0.5)  # boundary is inclusive
    assert tm.precision_at(err, 20.0) == pytest.approx(0.5)
    assert tm.precision_at(err, 1e9) == pytest.approx(0.75)  # a missing box never counts


@pytest.mark.parametrize(
    "ious, auc",
    [
        ([1.0] * 5, 1.0),  # perfect tracking scores exactly 1
        ([0.0] * 5, 0.0),
        ([0.5] * 4, 11 / 21),  # passes thresholds 0 .. 0.5
        ([1.0, 0.0], 0.5),
        ([0.52, 0.03], (11 + 1) / 21 / 2),  # 0.52 passes 0..0.5, 0.03 passes only 0
    ],
)
def test_success_auc(ious, auc):
    assert tm.success_auc(np.array(ious)) == pytest.approx(auc)


def test_success_curve_is_monotone_and_starts_at_overlap_share():
    rng = np.random.default_rng(0)
    ious = np.clip(rng.random(200) - 0.2, 0, 1)
    curve = tm.success_curve(ious)
    assert len(curve) == 21
    assert np.all(np.diff(curve) <= 0)
    assert curve[0] == pytest.approx((ious > 0).mean())
    assert tm.success_curve(np.array([])).sum() == 0


def test_presence_score_rewards_saying_lost_only_when_target_is_hidden():
    ious = np.array([0.8, 0.0, 0.0, 0.0, 0.6])
    visible = np.array([True, True, False, False, True])
    lost = np.array([False, True, True, False, False])
    s = tm.presence_scores(ious, visible, lost)
    # visible & lost scores its IoU (0), hidden & lost 1, hidden & still claiming 0
    assert s.tolist() == pytest.approx([0.8, 0.0, 1.0, 0.0, 0.6])


@pytest.mark.parametrize(
    "ious, visible, runs",
    [
        ([0.5] + [0.0] * 12 + [0.5], None, [(1, 12)]),
        ([0.5] + [0.0] * 9 + [0.5], None, []),  # 9 frames: not a failure
        ([0.0] * 10, None, [(0, 10)]),  # run reaching the end
        ([0.0] * 6 + [0.3] + [0.0] * 6, None, []),  # broken by one good frame
        # hidden frames are skipped: 6 + 5 visible zero frames around an occlusion is one run
        ([0.0] * 6 + [0.0] * 4 + [0.0] * 5, [True] * 6 + [False] * 4 + [True] * 5, [(0, 11)]),
        ([0.0] * 20, [False] * 20, []),  # never visible
    ],
)
def test_failure_runs(ious, visible, runs):
    v = np.ones(len(ious), bool) if visible is None else np.array(visible)
    assert tm.failure_runs(np.array(ious), v) == runs


def test_reacquisition_latencies():
    visible = np.array([True] * 3 + [False] * 3 + [True] * 4 + [False] * 2 + [True] * 3)
    ious = np.array([0.7] * 3 + [0.0] * 3 + [0.0, 0.0, 0.4, 0.5] + [0.0] * 2 + [0.0] * 3)
    # first reappearance: overlap 2 frames later; second: never
    assert tm.reacquisition_latencies(ious, visible) == [2, None]
    # a target hidden at the start is not a reappearance
    assert tm.reacquisition_latencies(np.array([0.0, 0.5]), np.array([False, True])) == []


def test_identity_switches_counts_tracks_that_swap_targets():
    n = 6
    a = np.tile([0.0, 0.0, 10.0, 10.0], (n, 1))
    b = np.tile([50.0, 0.0, 10.0, 10.0], (n, 1))
    gts = np.stack([a, b])
    vis = np.ones((2, n), bool)
    assert tm.identity_switches(np.stack([a, b]), gts, vis) == 0
    swapped = np.stack([np.vstack([a[:3], b[3:]]), np.vstack([b[:3], a[3:]])])
    assert tm.identity_switches(swapped, gts, vis) == 2
    # losing a target for a while (no box) and finding the same one again is not a switch
    gap = np.vstack([a[:2], np.full((2, 4), np.nan), a[4:]])
    assert tm.identity_switches(np.stack([gap, b]), gts, vis) == 0


@pytest.mark.parametrize(
    "track, own_visible, expected",
    [
        ((44, 0, 10, 10), True, True),  # 6 px from the other truth, 44 px from its own
        ((25, 0, 10, 10), True, False),  # half-way: nearer neither, within 20 px of neither
        ((19, 0, 10, 10), True, False),  # nearer its own truth
        ((75, 0, 10, 10), True, False),  # nearer the other, but 20+ px from it
        ((75, 0, 10, 10), False, False),  # own hidden, still 20+ px from the other
        ((35, 0, 10, 10), False, True),  # own hidden, on the other
        (NAN4, True, False),  # no report is on nothing
    ],
)
def test_a_report_is_on_another_target_by_the_benchmarks_own_rule(track, own_visible, expected):
    gts = np.array([[0, 0, 10, 10], [50, 0, 10, 10]], np.float64)
    assert tm.on_other_target(track, 0, gts, np.array([own_visible, True])) == expected


def test_separation_is_the_first_frame_after_the_targets_last_come_close():
    # centres 40, 20, 10, 20, 24, 40 px apart; 10 px boxes: apart beyond max(20, 15) px
    gap = np.array([40.0, 20.0, 10.0, 20.0, 24.0, 40.0])
    a = np.stack([np.zeros(6), np.zeros(6), np.full(6, 10.0), np.full(6, 10.0)], 1)
    b = a.copy()
    b[:, 0] = gap
    gts, vis = np.stack([a, b]), np.ones((2, 6), bool)
    assert [tm.apart(a[f], b[f]) for f in range(6)] == [True, False, False, False, True, True]
    assert tm.separation_frame(gts, vis) == 4
    big = gts.copy()
    big[:, :, 2:] = 30.0  # 30 px boxes: apart beyond 45 px, never here
    assert tm.separation_frame(big, vis) is None
    vis[1, 1:4] = False  # the second one hidden while close: never together
    assert tm.separation_frame(gts, vis) is None


def test_identity_switches_with_persistence_ignore_brief_excursions():
    n = 12
    a = np.tile([0.0, 0.0, 10.0, 10.0], (n, 1))
    b = np.tile([50.0, 0.0, 10.0, 10.0], (n, 1))
    gts, vis = np.stack([a, b]), np.ones((2, n), bool)
    blip = a.copy()
    blip[4:6] = b[4:6]  # two frames on the other target, then back
    assert tm.identity_switches(np.stack([blip, b]), gts, vis, persist=1) == 2
    assert tm.identity_switches(np.stack([blip, b]), gts, vis, persist=3) == 0
    moved = np.vstack([a[:5], b[5:]])  # stays on the other target: one switch
    assert tm.identity_switches(np.stack([moved, b]), gts, vis, persist=3) == 1
    # sitting on both merged targets, nearer the other one, is not leaving its own
    merged = np.stack([np.tile([0.0, 0.0, 10.0, 10.0], (n, 1)), np.tile([4.0, 0.0, 10.0, 10.0], (n, 1))])
    between = np.tile([3.0, 0.0, 10.0, 10.0], (n, 1))
    drifted = np.stack([np.vstack([a[:1], between[1:]])])
    assert tm.identity_switches(drifted, merged, vis, persist=3) == 1
    assert tm.identity_switches(drifted, merged, vis, persist=3, exclusive=True) == 0
    assert tm.identity_switches(np.stack([moved, b]), gts, vis, persist=3, exclusive=True) == 1
    # a hidden target cannot be matched, so flipping onto it is impossible
    hidden = vis.copy()
    hidden[1] = False
    assert tm.identity_switches(np.stack([moved, b]), gts, hidden, persist=1) == 0


# ---------------------------------------------------------------------------------------
# synthetic scenes


def test_scene_is_deterministic_per_seed():
    def frames(seed):
        return list(named.make_scene("flock", 4, seed=seed).frames())

    a, b, c = frames(3), frames(3), frames(4)
    for fa, fb in zip(a, b):
        assert np.array_equal(fa.image, fb.image)
        assert fa.boxes == fb.boxes and fa.visible == fb.visible
    assert not all(np.array_equal(fa.image, fc.image) for fa, fc in zip(a, c))


@pytest.mark.parametrize(
    "kind, size, phase",
    [
        ("aircraft", 11.0, 0.0),
        ("aircraft", 5.0, 0.0),
        ("quad", 12.0, 0.0),
        ("bird", 16.0, 0.0),
        ("bird", 16.0, 2.5),
        ("glint", 5.0, 0.0),
    ],
)
def test_sprite_box_covers_the_sprite_tightly(kind, size, phase):
    for cx, cy, heading in ((20.3, 20.6, 0.3), (31.0, 17.75, 2.4)):
        sp = sprites.render_sprite(kind, cx, cy, size, heading, phase)
        ox, oy = sp.origin
        ys, xs = np.nonzero(sp.alpha > 0.02)
        x, y, w, h = sp.box
        # every pixel carrying alpha touches the box (pixel j spans [j, j + 1))
        assert np.all(xs + ox + 1 > x) and np.all(xs + ox < x + w)
        assert np.all(ys + oy + 1 > y) and np.all(ys + oy < y + h)
        # and the box is not loose: the silhouette reaches within a pixel of every side
        assert (xs + ox).min() <= x + 1 and (xs + ox + 1).max() >= x + w - 1
        assert (ys + oy).min() <= y + 1 and (ys + oy + 1).max() >= y + h - 1
        assert abs((x + w / 2) - cx) < size and abs((y + h / 2) - cy) < size


@pytest.mark.parametrize("name", ["shaky", "flock"])
def test_ground_truth_matches_drawn_pixels(name):
    """Drawing the scene with invisible targets isolates the pixels the targets change;
    they must lie in the ground-truth boxes (allowing for the blur) and fill them."""
    scene = named.make_scene(name, 12, seed=5)
    blank = copy.deepcopy(scene)
    for t in blank.targets:
        t.opacity = 0.0
    for i in (0, 7, 11):
        fr, bg = scene.render(i), blank.render(i)
        diff = np.abs(fr.image.astype(int) - bg.image.astype(int)).max(axis=-1)
        changed = diff >= 12
        inside = np.zeros_like(changed)
        for (x, y, w, h), vis in zip(fr.boxes, fr.visible):
            assert vis
            x0, y0 = int(np.floor(x)) - 2, int(np.floor(y)) - 2
            inside[y0 : int(np.ceil(y + h)) + 2, x0 : int(np.ceil(x + w)) + 2] = True
            ys, xs = np.nonzero(changed[int(y) : int(np.ceil(y + h)), int(x) : int(np.ceil(x + w))])
            assert ys.size > 0
            assert xs.max() - xs.min() + 1 >= w - 3 and ys.max() - ys.min() + 1 >= h - 3
        assert not np.any(changed & ~inside)


def test_hidden_targets_are_flagged_invisible():
    occ = named.make_scene("occlusion", 30, seed=7)
    vis = [f.visible[0] for f in occ.frames()]
    assert vis[0] and vis[-1] and not all(vis)
    # a single hidden stretch, not flicker
    assert sum(1 for a, b in zip(vis, vis[1:]) if a != b) == 2
    edge = named.make_scene("edge_exit", 24, seed=7)
    for f in edge.frames():
        b = f.boxes[0]
        if b is not None:
            assert b[0] >= 0 and b[0] + b[2] <= edge.width + 1e-9
        if not f.visible[0]:
            assert b is None or b[2] * b[3] < 11.0 * 11.0


@pytest.mark.parametrize("n_frames", [10, 240])
def test_every_scene_starts_with_all_targets_inside_the_frame(n_frames):
    # the benchmark seeds trackers from the first frame; checked on the sprite geometry
    # alone (no full-frame rendering) so every scene can be covered quickly
    for name in named.SCENARIOS:
        scene = named.make_scene(name, n_frames)
        for t in scene.targets:
            x, y, w, h = scene.target_box(t, 0).box
            assert 0 <= x and 0 <= y and x + w <= scene.width and y + h <= scene.height, name
            assert w >= 3 and h >= 3, name
    # the one scene with an occluder must not start with the target behind it
    assert all(named.make_scene("occlusion", n_frames).render(0).visible)


@pytest.mark.parametrize("box", [(100, 80, 11, 9), (2, 1, 11, 9), (630, 350, 8, 8), (10, 10, 40, 50)])
def test_padded_seed_maps_back_to_the_original_box(box):
    import run_bench

    a = run_bench.OpenCVAdapter("KCF", 32)
    seed, (ml, mt, mr, mb) = a._grow(box, 640, 360)
    x, y, w, h = seed
    assert 0 <= x and 0 <= y and x + w <= 640 and y + h <= 360
    assert w >= min(32, 640) or x == 0 or x + w == 640
    assert (x + ml, y + mt, w - ml - mr, h - mt - mb) == box
    assert min(ml, mt, mr, mb) >= 0


class _Oracle:
    """Reports the true box of the frame it is given (or of the frame before, with
    ``lag``), and "lost" while the target is hidden."""

    family = "test"
    wants_bgr = False

    def __init__(self, scene, lag=0):
        self.scene, self.lag, self.i = scene, lag, 0
        self.name = f"oracle-lag{lag}"
        self.notes = {}

    def init(self, frame, boxes):
        self.i = 0

    def update(self, frame):
        self.i += 1
        out = []
        for t in self.scene.targets:
            j = max(self.i - self.lag, 0)
            x, y, w, h = self.scene.target_box(t, j).box
            hidden = self.scene.render(j).visible == [False] * len(self.scene.targets)
            out.append((None if hidden else (x, y, w, h), (x, y, w, h)))
        return out


def test_evaluation_lines_up_predictions_with_their_frames():
    import run_bench

    scene = named.make_scene("tiny_fast", 10, seed=2)
    res = {
        r["tracker"]: r
        for r in run_bench.run_scene(scene, [_Oracle(scene), _Oracle(scene, lag=1)], progress=False)["results"]
    }
    exact, late = res["oracle-lag0"], res["oracle-lag1"]
    assert exact["auc"] == pytest.approx(1.0) and exact["p5"] == 1.0
    assert exact["presence"] == pytest.approx(1.0) and exact["failures"] == 0
    assert exact["size_ratio"] == pytest.approx(1.0)
    # one frame late at 20-30 px/frame never overlaps a 5 px target
    assert late["auc"] == 0.0 and late["p20"] == 0.0 and late["failures"] == 0
    assert len(exact["curve"]) == 21 and exact["time"]["median_ms"] is not None


def test_presence_rewards_reporting_lost_behind_the_cloud():
    import run_bench

    scene = named.make_scene("occlusion", 24, seed=7)
    out = run_bench.run_scene(scene, [_Oracle(scene)], progress=False)
    r = out["results"][0]
    assert 0 < out["visible_share"] < 1
    assert r["presence"] == pytest.approx(1.0)
    assert r["lost_share"] == pytest.approx(1 - out["visible_share"])
    assert r["reacq"]["events"] == 1 and r["reacq"]["latencies"] == [0]


def test_summary_rolls_up_molvane_profiles_per_scene():
    import run_bench

    def res(name, auc):
        fam = "molvane" if name.startswith("molvane") else "opencv"
        return {
            "tracker": name,
            "family": fam,
            "auc": auc,
            "p20": auc,
            "p5": auc,
            "presence": auc,
            "auc_raw": auc,
            "failures": 0,
            "time": {"median_ms": 1.0, "fps": 1000.0},
        }

    scenes = [
        {
            "profiles": ["birds", "default"],
            "results": [res("molvane:birds", 0.4), res("molvane:default", 0.6), res("cv:KCF", 0.1)],
        },
        {
            "profiles": ["fast-sky", "default"],
            "results": [res("molvane:fast-sky", 0.9), res("molvane:default", 0.2), res("cv:KCF", 0.3)],
        },
    ]
    rows = {r["tracker"]: r for r in run_bench.summarise(scenes)}
    assert rows["molvane:recommended"]["mean_auc"] == pytest.approx((0.4 + 0.9) / 2)
    assert rows["molvane:best-of-profiles"]["mean_auc"] == pytest.approx((0.6 + 0.9) / 2)
    assert rows["molvane:default"]["scenes"] == 2 and rows["molvane:birds"]["scenes"] == 1
    assert rows["cv:KCF"]["mean_auc"] == pytest.approx(0.2)


@pytest.mark.parametrize("box", [(3.25, 4.5, 5.5, 5.0), (0.0, 0.0, 10.0, 10.0), (7.9, 1.1, 0.2, 0.2)])
def test_seed_box_is_the_smallest_integer_box_holding_the_target(box):
    import run_bench

    x, y, w, h = run_bench.int_box(box)
    assert x <= box[0] < x + 1 and y <= box[1] < y + 1
    assert x + w >= box[0] + box[2] > x + w - 1 and y + h >= box[1] + box[3] > y + h - 1
