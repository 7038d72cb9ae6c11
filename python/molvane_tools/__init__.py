"""Host-side tools for the molvane tracker: the molvane-track command, frame sources and
the synthetic sky scenes (molvane_tools.scenes). The tracker itself is the native module molvane."""

__all__ = ["DemoClip"]

from .scenes import DemoClip
