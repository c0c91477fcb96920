"""Randomized differential test of TalmiraConsole and talmira against a Python model.

The model below is written from the described behaviour of the scorer, not
from the C++ sources.  For each case a seeded generator writes a
ground-truth file and a system-output file (small, adversarial but well
formed), runs the real program on them with standard input closed, and
compares its whole standard output, its whole result file and its exit
status byte for byte with what the model predicts.  With --tool, the same
case is also run through `talmira score --format csv`, whose output must be
the model's counts as CSV, and equal to the console's result file whenever
the console completes.

With --tool, `talmira events` is checked too, on every case whose
confidence the tool takes (on a seeded share of them with --events-share):
once for All and once for every class with a box at the case's confidence
in either file (now and then for one class without any, which must give the
header alone), with the default --near or, on about two cases in five, one
drawn from 0, 0.05, 0.1, 0.15, 0.2, 0.5 and 1.  Many assignments of the
largest size may exist, so the model does not pick pairs of its own: it
takes the tool's, and first makes sure they are one: every match row names a
box of the other side in the same judged frame that names it back, each pair
passes the overlap test with neither box flagged, and each frame holds as
many pairs as the model's largest assignment.  Everything else is the
model's alone: which boxes have rows in which judged frame and in what order
(and the unpaired system frames last), the excluded, set-aside and in-region
boxes with their partner lines, every overlap (the shortest text of the
single-precision value), the miss and false-alarm counts, and the cause of
every miss and false alarm, worked out on the tool's pairs of the class and,
for class confusion, of All.  A disagreement prints the messages and a diff
of the rows (expected against actual); the run ends with the number of rows
checked for each event and cause, and of miss and false-alarm pairs lying
exactly on the near overlap, so that it shows every cause was exercised.

The generator aims boxes at one another so that every cause turns up in
numbers: boxes of several classes derived from one object (class confusion,
duplicates), slices of an object whose overlap is on or beside 0.05, 0.1,
0.15, 0.19 or 0.5 and boxes moved sideways to overlaps between 0.08 and 0.2
(localization), confidences on and beside the threshold and below 0 (below
threshold), don't-care regions cut to cover about a third of a system box
(dropped in a region), and frames left out of the system file.

    python3 tools/crosscheck.py --binary build/dev/TalmiraConsole \
        --tool build/dev/talmira/talmira --cases 500 --seed 1

With --rules-share F (and --tool), a seeded share F of the cases is scored
by `talmira score` and `talmira events` under random scoring rules: the
overlap measure (enclosing or IoU), the min overlap, the region cover and
the min side drawn at random, given one by one or as a named set (mot,
visdrone, kitti), now and then a named set with one value overridden. The
model applies the same rules (the console, which has none, keeps the
defaults, and the agreement of console and tool is not asked of such cases).

With --vid N (and --tool), N random COCO pairs of videos (tools/crosscheck/
vid.py: small boxes below the 0.5 threshold, boxes at IoU 0.5 exactly,
repeated boxes, objects whose neighbours are at IoU 0.7 or 0.9 exactly,
gaps in the frames, boxes without tracks, crowd regions, detections on the
background) are scored by `talmira ap --protocol vid --format json` and
every category's AP, its AP per motion bin, its counts and the means are
compared with the model's, within 1e-12.

With --mot N (and --tool), N random pairs of the MOT family's formats
(tools/crosscheck/mot.py: mot, mot15, visdrone and uavdt, each in its own
layout; decimals and halves, negative widths and heights, scores of -1
written several ways and scores beside them, flags, regions and DCF labels,
ground truths listed track by track, MOT15 files given as mot, some of which
must be refused) are checked instead: `talmira score --format csv`, every
row of `talmira sweep --exact`, the negative-size lines and boxes without a
score of `talmira check --format json`, and `talmira events` as above (a
box without a score has an empty confidence), each against the model's
reading of the files, under random scoring rules on most cases.

    python3 tools/crosscheck.py --tool build/dev/talmira/talmira --mot 300 --seed 1

With --ap N (and --tool), `talmira ap` is checked instead on N random COCO
pairs against a model of COCO's box average precision (average_precision.py,
which needs numpy: its description says what it models and what its
generator aims at): the precision, recall and scores arrays exactly, the
twelve figures and the per category ones within 1e-12, and the printed
summary lines.  --coco-ap GT RES EXPECTED holds the model, and the tool when
given, to the reference evaluator's figures for the corpus' real COCO pair.

    python3 tools/crosscheck.py --tool build/dev/talmira/talmira --ap 1000 --seed 1

With --tracking N, `talmira track` is checked instead: first the tracking
model (tracking.py: HOTA, CLEAR and Identity as the MOTChallenge evaluator
computes them; it needs numpy and scipy) and its py-motmetrics variant on
hand-worked sequences (tracking_cases.py), then the tool on the same and on
N random adversarial MOT17 and MOT15 sequences (tracking_generate.py), every
field against the model: integers equal, the rest within 1e-12 relative,
the bit-equal ones counted. Without --tool only the models are run.
--tracking-conformance DIR holds the model, and the tool when given, to the
reference evaluators' figures for the corpus' MOT files.

    python3 tools/crosscheck.py --tool build/dev/talmira/talmira --tracking 1000 --seed 1

With --stability N (and --tool), `talmira stability` is checked instead on
N random cases of each of its roads (stability.py): CLEAR's under --rules
mot on the tracking generator's MOT17 and MOT15 sequences, its pairs the
tracking model's own; and the detection matching's on files of this format
with identities, its pairs the tool's `talmira events` once the model has
made sure they are a largest matching. Every track's frames, matches and
changes equal, its errors within 1e-12.

    python3 tools/crosscheck.py --tool build/dev/talmira/talmira --stability 200 --seed 1

With --stability-datasets N, random datasets of 2 to 5 MOT sequences, each
with a second tracker's output: `talmira batch --stability` per sequence
and pooled over every track used of every sequence, its two shards merged
(the bytes of one run in every format), and `talmira compare --stability`'s
pooled errors of both and its bootstrap intervals (the model's own
SplitMix64 draws) against the model.

    python3 tools/crosscheck.py --tool build/dev/talmira/talmira --stability-datasets 40 --seed 1

Exit status 0 and a closing line "N passed, 0 failed" when every case
agrees; exit status 1 with unified diffs of the first mismatches otherwise.
Failing file pairs are kept (see --keep-dir; args.txt holds the arguments
and the --near used) and the first one is shrunk to a small reproducer.
"""

# The model, the generator and the entry point, for the tests that use them.
from .counts import nmodta, score
from .driver import main
from .expected import expected_run, expected_tool_run
from .floats import f32, f32_from_fraction, f32_of_decimal, f32_shortest
from .generate import Gen, make_case
from .matching import cover_ratio, frame_counts, max_matching, overlap_passes, overlap_ratio
from .matching import region_covers
from .records import EVAL_CLASSES, KNOWN_CLASSES, Box, Frame, ModelInputError
from .records import parse_annotation, parse_float32_text
from .rules import DEFAULT_RULES, NAMED_RULES, set_rules
