"""The random, adversarial file pairs: a seeded generator of ground-truth and
system files aimed at the scorer's edges.
"""

import math
import random
from decimal import Decimal
from fractions import Fraction

from .floats import U32
from .records import KNOWN_CLASSES


CONF_ARGS = [None, None, None, None, "0", "0.5", "0.3", "1", "0.25", "0.2",
             "1.0", ".3", "0.30", "0.7", "0.0001", "0.9999"]
TAIL_TEXT_CHARS = "ghkmqrsuvwyz_#"


def _near_threshold_pairs(wholes, num, den, deltas):
    """Sub-rectangles (w, h) of a W x H box whose area is W*H*num/den + d:
    a list of (W, H, w, h, d)."""
    found = []
    for big_w, big_h in wholes:
        target = big_w * big_h * num // den
        for d in deltas:
            area = target + d
            lo = -(-area // big_h)
            for w in range(big_w, lo - 1, -1):
                if area % w == 0:
                    found.append((big_w, big_h, w, area // w, d))
                    break
    return found


# Large boxes whose overlap or cover ratios sit within a few steps of the
# last single-precision place around the thresholds.  At 1.6e9 pixels of
# enclosing area an overlap of 0.2 - 7/E still rounds up to the threshold
# and 0.2 - 8/E does not; for the cover ratio the limits are -2 and -3.
BIG_SIZES = [(40000, 40000), (40000, 39000), (36000, 40000)]
BIG_OVERLAP = _near_threshold_pairs(BIG_SIZES, 1, 5, range(-14, 8))
BIG_COVER = _near_threshold_pairs(BIG_SIZES, 33, 100, range(-6, 7))


class Gen:
    def __init__(self, rng):
        self.rng = rng
        r = rng.random
        self.space_rate = rng.choice([0.0, 0.1, 0.4])
        self.tab_rate = rng.choice([0.0, 0.3])
        self.flag_rate = rng.choice([0.0, 0.08, 0.25])
        self.odd_number_rate = rng.choice([0.0, 0.05])
        self.grid = rng.choice([5, 5, 10, 1])
        self.classes = rng.sample(KNOWN_CLASSES, rng.choice([1, 2, 3, 10]))
        self.big = r() < 0.12
        # how far apart boxes are: a small field crowds boxes together so
        # that one box overlaps several on the other side
        self.field = rng.choice([320, 320, 150, 60])
        self.crowd = rng.choice([0.0, 0.0, 0.3, 0.7])
        # a band: boxes of nearly one size strung along a line, each
        # overlapping its neighbours, which makes chains and cycles of
        # passing pairs with many assignments of equal cost
        self.band_rate = rng.choice([0.0, 0.0, 0.5, 0.9])
        self.band_origin = (self.coord(), self.coord())
        # now and then frames far beyond the usual handful of boxes
        self.counts = [0, 1, 2, 3, 4, 5, 8]
        self.tail_rate = 0.15
        self.long = r() < 0.05
        if r() < 0.05:
            self.counts = [10, 16, 25]
            self.band_rate = 0.9
        elif r() < 0.04:
            # files of 100 kB and more, with long last columns
            self.counts = [8, 16, 25]
            self.tail_rate = 0.9
            self.long = True

    # -- boxes ------------------------------------------------------------
    def order(self, pts):
        """List four corners in cyclic order (any start and direction),
        sometimes crossed."""
        rng = self.rng
        k = rng.randrange(4)
        pts = pts[k:] + pts[:k]
        if rng.random() < 0.5:
            pts = [pts[0]] + pts[1:][::-1]
        if rng.random() < 0.12:
            pts = rng.choice([[pts[0], pts[2], pts[1], pts[3]],
                              [pts[0], pts[1], pts[3], pts[2]]])
        return pts

    def rect(self, x, y, w, h, cyclic=False):
        pts = [(x, y), (x + w, y), (x + w, y + h), (x, y + h)]
        if cyclic:
            k = self.rng.randrange(4)
            pts = pts[k:] + pts[:k]
            if self.rng.random() < 0.5:
                pts = [pts[0]] + pts[1:][::-1]
            return pts
        return self.order(pts)

    def coord(self):
        g = self.grid
        return self.rng.randrange(-60 // g, self.field // g + 1) * g

    def side(self):
        return self.rng.choice([30, 30, 29, 31, 35, 40, 40, 45, 50, 60, 60, 75,
                                90, 100, 150, 10, 5, 0, 15, 20])

    def band_box(self):
        rng = self.rng
        x0, y0 = self.band_origin
        x = x0 + 5 * rng.randint(0, 24)
        y = y0 + 5 * rng.choice([0, 0, 0, 1, -1, 2])
        w = rng.choice([30, 30, 40, 35])
        h = rng.choice([40, 40, 30, 60])
        return self.rect(x, y, w, h)

    def random_box(self):
        rng = self.rng
        if rng.random() < self.band_rate:
            return self.band_box()
        kind = rng.random()
        x, y = self.coord(), self.coord()
        if kind < 0.62:
            w, h = self.side(), self.side()
            if w < 30 and h < 30 and rng.random() < 0.8:
                w = rng.choice([30, 40, 60])
            return self.rect(x, y, w, h)
        if kind < 0.8:
            # turned rectangle with integer corners, sides 5k and 5j
            k, j = rng.choice([5, 6, 6, 7, 8, 10]), rng.choice([2, 4, 6, 8, 10])
            sx, sy = rng.choice([1, -1]), rng.choice([1, -1])
            u = (3 * k * sx, 4 * k * sy)
            v = (-4 * j * sx, 3 * j * sy)
            if rng.random() < 0.5:
                u, v = (u[1], u[0]), (v[1], v[0])
            p1 = (x, y)
            p2 = (x + u[0], y + u[1])
            p3 = (p2[0] + v[0], p2[1] + v[1])
            p4 = (x + v[0], y + v[1])
            return self.order([p1, p2, p3, p4])
        if kind < 0.87:
            r = rng.choice([20, 21, 22, 25, 30, 10])
            return self.order([(x, y - r), (x + r, y), (x, y + r), (x - r, y)])
        if kind < 0.94:
            # irregular quadrilateral (no two sides need be equal)
            g = self.grid
            return [(x + rng.randint(0, 12) * g, y + rng.randint(0, 12) * g)
                    for _ in range(4)]
        # segment: zero height or zero width
        length = rng.choice([30, 40, 29])
        if rng.random() < 0.5:
            return self.order([(x, y), (x + length, y), (x + length, y), (x, y)])
        return self.order([(x, y), (x, y + length), (x, y + length), (x, y)])

    @staticmethod
    def bbox(pts):
        xs = [p[0] for p in pts]
        ys = [p[1] for p in pts]
        return min(xs), min(ys), max(xs) - min(xs), max(ys) - min(ys)

    def derive(self, pts):
        """A system box placed against a ground-truth box so that the
        overlap ratio lands on or next to the threshold."""
        rng = self.rng
        x, y, w, h = self.bbox(pts)
        if rng.random() < self.band_rate * 0.6:
            return self.band_box()
        if rng.random() < 0.15:
            return self.near_box(x, y, w, h)
        c = rng.random()
        if c < 0.2:
            return self.order(list(pts))
        if c < 0.35 and h >= 5:
            hh = h // 5 + rng.choice([0, 0, -1, 1])
            yy = y if rng.random() < 0.5 else y + h - hh
            return self.rect(x, yy, w, max(hh, 0))
        if c < 0.45 and h > 0:
            hh = 5 * h + rng.choice([0, 0, 1, -1])
            yy = y if rng.random() < 0.5 else y + h - hh
            return self.rect(x, yy, w, hh)
        if c < 0.6 and w >= 3:
            d = (2 * w) // 3 + rng.choice([0, 0, 1, -1])
            if rng.random() < 0.5:
                return self.rect(x + d, y, w, h)
            return self.rect(x - d, y, w, h)
        if c < 0.68:
            return self.rect(x + w, y + rng.choice([0, 5, -5]), rng.choice([30, 40]), h)
        if c < 0.75:
            return self.random_box()
        j = [rng.choice([-10, -5, 0, 0, 5, 10, 20]) for _ in range(4)]
        return self.rect(x + j[0], y + j[1], max(w + j[2], 0), max(h + j[3], 0))

    def near_box(self, x, y, w, h):
        """A box that overlaps the w x h one by less than a pair needs: on or
        next to one of the overlaps from which a miss and a false alarm count
        as near each other, or anywhere between 0.08 and 0.2."""
        rng = self.rng
        if rng.random() < 0.7 and min(w, h) > 0:
            # a slice across the shorter side: its overlap is the slice's share
            share = rng.choice([Fraction(1, 10), Fraction(1, 10), Fraction(1, 20),
                                Fraction(3, 20), Fraction(1, 2), Fraction(19, 100)])
            if h <= w:
                hh = max(0, round(h * share) + rng.choice([0, 0, -1, 1]))
                return self.rect(x, y + rng.choice([0, h - hh]), w, hh)
            ww = max(0, round(w * share) + rng.choice([0, 0, -1, 1]))
            return self.rect(x + rng.choice([0, w - ww]), y, ww, h)
        # the same box moved sideways: (w - d) / (w + d) from about 0.19 down to 0.08
        d = int(w * rng.uniform(0.68, 0.85))
        return self.rect(x + rng.choice([d, -d]), y, w, h)

    def cover_region(self, pts):
        """A don't-care region whose intersection with the box is about a
        third of the box's side-product."""
        rng = self.rng
        x, y, w, h = self.bbox(pts)
        (x1, y1), (x2, y2), (x3, y3) = pts[0], pts[1], pts[2]
        area = math.hypot(x1 - x2, y1 - y2) * math.hypot(x2 - x3, y2 - y3)
        want = int(round(area * 0.33)) + rng.choice([0, 0, 0, -1, 1])
        if rng.random() < 0.2 or w == 0 or h == 0:
            return self.random_box()
        best = None
        for wi in range(min(w, 200), 0, -1):
            if want % wi == 0 and want // wi <= h:
                best = (wi, want // wi)
                break
        if best is None:
            wi = max(1, min(w, want // max(h, 1)))
            best = (wi, min(h, want // wi))
        wi, hi = best
        ex = rng.choice([0, 30, 40]) if wi < 30 else rng.choice([0, 10])
        ey = rng.choice([0, 30]) if hi < 30 and ex == 0 else rng.choice([0, 10])
        if rng.random() < 0.5:
            return self.rect(x - ex, y - ey, wi + ex, hi + ey)
        return self.rect(x + w - wi, y + h - hi, wi + ex, hi + ey)

    # -- record text ----------------------------------------------------
    def lead(self, tabs_ok):
        rng = self.rng
        if rng.random() >= self.space_rate:
            return ""
        if tabs_ok and rng.random() < self.tab_rate:
            return rng.choice(["\t", " \t", "\t "])
        return " " * rng.randint(1, 3)

    def int_text(self, v, frame=False):
        rng = self.rng
        if rng.random() < self.odd_number_rate:
            c = rng.random()
            if v < 0 and c < 0.5:
                return str(v + U32)
            if v >= 1 << 31 and c < 0.5:
                return str(v - U32)
            if v >= 0 and c < 0.75:
                return "+" + str(v)
            if v >= 0:
                return "0" + str(v)
        if frame and v >= 1 << 31:
            return str(v - U32) if rng.random() < 0.5 else str(v)
        return str(v)

    def flag(self):
        rng = self.rng
        if rng.random() < self.flag_rate:
            return rng.choice(["TRUE", "TRUE", "TRUE", "true", "True", "TRUEX", "1",
                               "TRUETRU"])
        return rng.choice(["FALSE", "FALSE", "FALSE", "false", "0", "F", "FALSEXY"])

    def conf_text(self, threshold_text):
        rng = self.rng
        c = rng.random()
        if threshold_text is not None and c < 0.45:
            v = Decimal(threshold_text)
            d = rng.choice([Decimal(0), Decimal(0), Decimal("0.0001"), Decimal("-0.0001")])
            t = v + d
            s = format(t, "f")
            if rng.random() < 0.3 and "." in s:
                s = s + "0"
            return s
        if c < 0.7:
            return rng.choice(["1.0", "1", "0.9", "1.00", "0", "0.0", "-0", "0.5", ".5"])
        if c < 0.75:
            return rng.choice(["-0.0001", "-1", "3e-1", "2.5E-1", "+0.75", "1.", "5e-5",
                               "1E0", "10e-1", "00.5"])
        return "%.*f" % (rng.choice([1, 2, 3, 4]), rng.random())

    def record(self, frame_no, pts, kind, threshold_text, flags=None):
        rng = self.rng
        if flags is None:
            flags = (self.flag(), self.flag())
        cols = [self.int_text(frame_no, frame=True)]
        for (px, py) in pts:
            cols += [self.int_text(px), self.int_text(py)]
        cols.append(kind)
        cols += [flags[0], flags[1]]
        cols.append(self.conf_text(threshold_text))
        cols.append(rng.choice(["", "", "", "abc", "n1", "q_r", "T" * 31]))
        tail = rng.choice(["0.0", "0.0", "0", "1.5", "-2", ".5", "1e2", "3.25",
                           "+1", "1.", "-.5", "1E+2"])
        if rng.random() < self.tail_rate:
            size = rng.choice([1, 3, 6, 190])
            tail += "".join(rng.choice(TAIL_TEXT_CHARS) for _ in range(size))
        cols.append(tail)
        # blanks allowed before each column: any blank before numbers,
        # the second flag, the confidence and the last column; spaces only
        # before the type, the first flag and column 14.
        tabs_ok = [True] * 9 + [False, False, True, True, False, True]
        parts = [self.lead(tabs_ok[i]) + cols[i] for i in range(15)]
        line = ",".join(parts)
        if rng.random() < self.space_rate:
            line += rng.choice([" ", "  ", "\t", " \t"])
        return line

    # -- files --------------------------------------------------------------
    def frame_numbers(self, n):
        rng = self.rng
        base = rng.choice([0, 1, 5, 100, U32 - 3])
        nums = [base]
        for _ in range(n - 1):
            c = rng.random()
            if c < 0.4:
                nums.append((nums[-1] + 1) % U32)
            elif c < 0.55:
                nums.append(nums[-1])
            elif c < 0.8:
                nums.append(rng.choice(nums))
            else:
                nums.append((base + rng.randint(0, 14)) % U32)
        return nums

    def make_case(self, threshold_text):
        rng = self.rng
        n_gt = rng.randint(20, 40) if self.long else rng.randint(1, 12)
        gt_nums = self.frame_numbers(n_gt)
        # system frame numbers: mostly the ground-truth ones, some dropped,
        # some repeated, some extra, sometimes shuffled
        sys_nums = []
        for n in gt_nums:
            c = rng.random()
            if c < 0.15:
                continue
            sys_nums.append(n)
            if c > 0.9:
                sys_nums.append(n)
        for _ in range(rng.randint(0, 3)):
            sys_nums.insert(rng.randint(0, len(sys_nums)),
                            rng.choice(gt_nums + [(gt_nums[0] + 50) % U32]))
        if rng.random() < 0.3:
            rng.shuffle(sys_nums)

        gt_frames = []
        for n in gt_nums:
            boxes = []
            for _ in range(rng.choice(self.counts)):
                # crowded frames: a box placed against an earlier one, so
                # that one system box can pass with several of them
                if boxes and rng.random() < self.crowd:
                    boxes.append(self.derive(rng.choice(boxes)))
                else:
                    boxes.append(self.random_box())
            gt_frames.append([n, boxes, []])
        sys_frames = []
        for n in sys_nums:
            sources = [f for f in gt_frames if f[0] == n]
            boxes = []
            for _ in range(rng.choice(self.counts)):
                if sources and rng.random() < 0.75:
                    src = rng.choice(sources)[1]
                    if src:
                        boxes.append(self.derive(rng.choice(src)))
                        continue
                boxes.append(self.random_box())
            sys_frames.append([n, boxes, []])
        # don't-care regions of ground-truth frames, aimed at system boxes
        for f in gt_frames:
            partner = next((s for s in sys_frames if s[0] == f[0]), None)
            for _ in range(rng.choice([0, 0, 0, 1, 1, 2])):
                if partner and partner[1] and rng.random() < 0.8:
                    f[2].append(self.cover_region(rng.choice(partner[1])))
                else:
                    f[2].append(self.random_box())
        if rng.random() < 0.1:
            for s in sys_frames:  # regions in the system file are never used
                if s[1] and rng.random() < 0.5:
                    s[2].append(self.cover_region(rng.choice(s[1])))

        if self.big:
            self.add_big(gt_frames, sys_frames)

        gt_lines = self.frame_lines(gt_frames, threshold_text)
        sys_lines = self.frame_lines(sys_frames, threshold_text)
        return self.assemble(gt_lines), self.assemble(sys_lines)

    def add_big(self, gt_frames, sys_frames):
        """Boxes of 40000 x 40000 pixels whose ratios are within a few
        single-precision steps of 0.2 or 0.33."""
        rng = self.rng
        for _ in range(rng.randint(1, 3)):
            if not gt_frames:
                return
            gf = rng.choice(gt_frames)
            sf = next((s for s in sys_frames if s[0] == gf[0]), None)
            if sf is None:
                sf = [gf[0], [], []]
                sys_frames.append(sf)
            if rng.random() < 0.6 and BIG_OVERLAP:
                big_w, big_h, w, h, _ = rng.choice(BIG_OVERLAP)
                whole = self.rect(0, 0, big_w, big_h)
                px, py = rng.choice([0, big_w - w]), rng.choice([0, big_h - h])
                part = self.rect(px, py, w, h)
                if rng.random() < 0.5:
                    gf[1].append(whole)
                    sf[1].append(part)
                else:
                    gf[1].append(part)
                    sf[1].append(whole)
            elif BIG_COVER:
                big_w, big_h, w, h, _ = rng.choice(BIG_COVER)
                sf[1].append(self.rect(0, 0, big_w, big_h, cyclic=True))
                px, py = rng.choice([0, big_w - w]), rng.choice([0, big_h - h])
                gf[2].append(self.rect(px, py, w, h))

    def frame_lines(self, frames, threshold_text):
        rng = self.rng
        lines = []
        all_nums = [f[0] for f in frames] or [0]
        for n, boxes, regions in frames:
            items = []
            for pts in boxes:
                kind = rng.choice(self.classes)
                c = rng.random()
                if c < 0.04:
                    kind = rng.choice(["car", "Van", "DCO", "All", "CAR", "Dcr", "dcf",
                                       "Tractor-Trailer", "Car_", "X" * 31,
                                       "Tractor-Trailor-and-a-long-name"])
                elif c < 0.07:
                    kind = rng.choice(["", " ", "  "])
                items.append(self.record(n, pts, kind, threshold_text))
            for pts in regions:
                flags = None if rng.random() < 0.5 else (self.flag(), "TRUE")
                items.insert(rng.randint(0, len(items)),
                             self.record(n, pts, "DCR", threshold_text, flags))
            # noise that never starts or splits a frame
            for _ in range(rng.choice([0, 0, 0, 1, 2])):
                other = rng.choice(all_nums + [(n + 1) % U32])
                if rng.random() < 0.5:
                    line = self.record(other, self.random_box(), "DCF", threshold_text)
                else:
                    small = self.rect(self.coord(), self.coord(), rng.choice([29, 20, 0]),
                                      rng.choice([29, 10, 0]))
                    line = self.record(other, small, rng.choice(self.classes + ["DCR"]),
                                       threshold_text)
                items.insert(rng.randint(0, len(items)), line)
            # a record that starts a frame but adds no target
            if rng.random() < 0.1:
                kind = rng.choice(["Van", "", "car"])
                items.insert(rng.choice([0, len(items)]),
                             self.record(rng.choice([n, rng.choice(all_nums)]),
                                         self.rect(0, 0, 40, 40), kind, threshold_text))
            lines.extend(items)
        return lines

    def assemble(self, lines):
        rng = self.rng
        c = rng.random()
        eol_style = rng.choice(["\n", "\r\n", "mixed"])

        def eol():
            if eol_style == "mixed":
                return rng.choice(["\n", "\r\n"])
            return eol_style

        if c < 0.02:
            return b""
        header = rng.choice([
            "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number",
            "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number",
            "",
            "# frames",
            "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1.0,,0.0",
            " a, b ,, c",
            "long",
        ])
        if header == "long":
            # the reader keeps at most 199 characters of the first line
            # (a carriage return included); the line feed may be left over
            size = rng.randint(180, 199) - (1 if eol_style != "\n" else 0)
            header = ("Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,"
                      "Text,Number" + ",padding" * 30)[:size]
            if eol_style == "mixed":
                eol_style = "\r\n"
        if c < 0.05:
            return (header + rng.choice(["", eol()])).encode("latin-1")
        if c < 0.07:
            lines = []
        out = [header + eol()]
        for line in lines:
            while rng.random() < 0.05:
                out.append(rng.choice(["", " ", "\t", "  ", "\f", " \v"]) + eol())
            lead = ""
            if rng.random() < self.space_rate * 0.5:
                lead = rng.choice([" ", "  ", "\t"])
            out.append(lead + line + eol())
        if rng.random() < 0.1:
            out.append(rng.choice(["", "  "]) + eol())
        elif out and len(out) > 1 and rng.random() < 0.4:
            out[-1] = out[-1].rstrip("\r\n")
        return "".join(out).encode("latin-1")


def make_case(case_seed):
    """(ground truth bytes or None, system bytes or None, argument tail)."""
    rng = random.Random(case_seed)
    gen = Gen(rng)
    conf = rng.choice(CONF_ARGS)
    gt, sysout = gen.make_case(conf)
    extra = [] if conf is None else [conf]
    c = rng.random()
    if c < 0.015:
        extra = [rng.choice(["1.5", "-0.1", "2", "1.0001", "-1e-3"])]
    elif c < 0.025:
        extra = [rng.choice(["abc", " 0.5", "0.5x", "+1", "-0"])]
    elif c < 0.035:
        gt = None
    elif c < 0.045:
        sysout = None
    elif c < 0.05:
        gt = sysout = None
    elif c < 0.055:
        extra = ["0.5", "extra"]
    return gt, sysout, extra
