"""Host-side tools for the molvane tracker: the molvane-track command, frame sources and
a synthetic sky clip for demos and tests. The tracker itself is the native module molvane."""

__all__ = ["DemoClip"]

from .demo_clip import DemoClip
