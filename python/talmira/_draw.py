"""draw_frame(): one frame of a pair drawn as `talmira view` draws it."""

import numbers

from . import _talmira
from ._inputs import _path_of, _read_pair, _readings
from ._numbers import _confidence, _fraction


class FrameDrawing:
    """One frame drawn as `talmira view` draws it: notebooks show it as the
    picture (_repr_svg_); svg is the SVG document's text."""

    def __init__(self, svg, frame):
        self.svg = svg
        self.frame = frame

    def _repr_svg_(self):
        return self.svg

    def __repr__(self):
        return "<FrameDrawing of frame %d, %d characters of SVG>" % (self.frame, len(self.svg))


def draw_frame(gt, sys, frame, confidence=0.0, cls="All", image=None, near=0.1, *, format=None,
               gt_format=None, sys_format=None, **options):
    """Draws frame number `frame` of the pair as SVG: every box of the
    ground-truth frame (solid) and of its system frame (dashed) that the
    class's selection takes at `confidence`, coloured by its event as
    events() names it; each is an element with data-side, data-line and
    data-event, and data-class, data-confidence, data-cause, data-overlap and
    data-partner. Pairs are joined by a line, don't-care regions hatched.
    Turned boxes of a file of this format are drawn turned. data-line is the
    record's line in its file; for an in-memory table, the line its row would
    have in a file (row + 2, the header being line 1).

    image: the frame's picture under the boxes, embedded: a path to a PNG,
    JPEG or GIF file, or its bytes; drawn at the picture's own size, which is
    the frame's pixel coordinates. Returns a FrameDrawing. Raises as events()
    does, and ValueError for a frame the ground truth lacks.
    """
    threshold = _confidence(confidence)
    near = _fraction(near, "near")
    # The name is looked for among the pair's classes once they are read.
    if not isinstance(cls, str):
        raise ValueError("class %r is not a class name" % (cls,))
    if isinstance(frame, bool) or not isinstance(frame, numbers.Integral) or not 0 <= frame < 2**32:
        raise ValueError("frame %r is not a frame number" % (frame,))
    readings = _readings(gt, format, gt_format, sys_format, **options)
    ground_truth, system = _read_pair(gt, sys, details=True, readings=readings)
    if image is not None and not isinstance(image, (bytes, bytearray)):
        with open(image, "rb") as f:
            image = f.read()
    # Corners are read again only from files of this format.
    paths = [_path_of(source) if reading is None or reading["format"] == "talmira" else None
             for source, reading in zip((gt, sys), readings)]
    svg = _talmira.draw_frame(ground_truth, system, int(frame), threshold, cls, near,
                              paths[0] or "", paths[1] or "",
                              bytes(image) if image is not None else None)
    return FrameDrawing(svg, int(frame))
