"""The synthetic sky scenes shared by the demo, the examples, the tests and the benchmarks.

Modules, cheapest first:

- ``demo``: the demo clip (a drone passing behind a cloud, and an aircraft); numpy only;
- ``small``: small test frames: a one-frame sky, scripted single-target sequences, small
  drones on given paths, discs for concurrent streams, and odd inputs of any size and
  channel count; numpy only;
- ``sprites``: anti-aliased aircraft, quadcopter, bird and glint sprites;
- ``sky``: the scene record (``Scene``): gradient sky, drifting clouds, noise, blur, camera
  shake and flicker, occluders and scenery, with per-frame ground-truth boxes and
  visibility;
- ``named``: the named scenes (``make_scene``) of the benchmarks and the golden traces;
- ``passes``: scenes built from parameters: separated targets, close passes, pass kinds;
- ``stress``: the stress clips with a renderer of their own;
- ``cost``: cheap frame sources for the cost and soak benchmarks.

Every scene is a pure function of its parameters and seed: results pinned on these frames
(golden traces, benchmark tables) stay valid only while the pixels do, so a change to a
renderer that moves any pixel is a change of those results too.
"""

__all__ = ["DemoClip"]

from .demo import DemoClip
