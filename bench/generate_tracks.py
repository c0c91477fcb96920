#!/usr/bin/env python3
"""Writes MOTChallenge-style tracking sequences: ground truth and a
tracker's output for each, in MOT16/17's layout, with seqinfo.ini.

    bench/generate_tracks.py OUT_DIR [--sequences 21] [--frames 525:1050]
                             [--people 23.5] [--life 30:400] [--seed 1]
                             [--switch-rate 0.003] [--false-tracks 0.1]
                             [--missed-people 0] [--tracker-ids N]

OUT_DIR/<name>/gt/gt.txt, OUT_DIR/<name>/seqinfo.ini and
OUT_DIR/tracker/<name>.txt. People enter at random frames and walk for a
life of tens to hundreds of frames; about one box in twenty is a
distractor (static person, reflection) or marked not to be considered.
The tracker finds most boxes with jittered corners of many decimals,
loses some, switches identities now and then, and adds short false
tracks, so that every part of the measures has work. The defaults give a
dataset the size of MOT17's train set (about 340,000 ground-truth boxes).

--switch-rate is the chance, at each box, that the tracker starts a new
identity for the person; --false-tracks the short false tracks per frame;
--missed-people the share of people the tracker never follows. With
--tracker-ids N, false tracks are added (or left out) so that each
sequence's tracker file has N identities: e.g. --sequences 1 --frames
100000:100000 --people 20 --life 50:150 --missed-people 0.15
--switch-rate 0.001 --tracker-ids 20000 gives one long sequence with
20,000 identities on each side, about 20 boxes a frame.
"""
import argparse
import os
import random


def span(text):
    low, high = (int(x) for x in text.split(":"))
    return low, high


def sequence(rng, frames, people_per_frame, life, switch_rate=0.003, false_tracks=0.1,
             missed_people=0.0, tracker_ids=None):
    truth, tracker = [], []
    mean_life = (life[0] + life[1]) / 2
    births = people_per_frame * frames / mean_life
    next_tracker_id = 1
    false_id = 10 ** 6
    for person in range(1, int(births) + 1):
        start = rng.randint(1, frames)
        length = rng.randint(*life)
        x, y = rng.uniform(0, 1800), rng.uniform(300, 700)
        w = rng.uniform(30, 120)
        h = w * rng.uniform(2.2, 3.0)
        vx, vy = rng.uniform(-3, 3), rng.uniform(-0.5, 0.5)
        kind = rng.random()
        label, consider = (1, 1)
        if kind < 0.03:
            label = rng.choice([2, 7, 8, 12])
        elif kind < 0.05:
            consider = 0
        tracked_as = next_tracker_id
        next_tracker_id += 1
        missed = missed_people > 0 and rng.random() < missed_people  # drawn only when asked
        for f in range(start, min(frames, start + length) + 1):
            x += vx + rng.gauss(0, 0.5)
            y += vy + rng.gauss(0, 0.2)
            truth.append((f, person, round(x), round(y), round(w), round(h), consider, label,
                          round(rng.random(), 6)))
            if missed:
                continue
            if rng.random() < switch_rate:  # an identity switch
                tracked_as = next_tracker_id
                next_tracker_id += 1
            if rng.random() < 0.66:
                jitter = w * 0.06
                tracker.append((f, tracked_as, x + rng.gauss(0, jitter), y + rng.gauss(0, jitter),
                                w * rng.uniform(0.9, 1.1), h * rng.uniform(0.9, 1.1)))
    count = int(frames * false_tracks)
    if tracker_ids is not None:
        count = max(0, tracker_ids - len({r[1] for r in tracker}))
    for _ in range(count):  # short false tracks
        start = rng.randint(1, frames)
        x, y, w = rng.uniform(0, 1800), rng.uniform(300, 700), rng.uniform(30, 100)
        for f in range(start, min(frames, start + rng.randint(1, 20)) + 1):
            tracker.append((f, false_id, x, y, w, w * 2.5))
        false_id += 1
    truth.sort(key=lambda r: (r[1], r[0]))  # MOT ground truth is listed track by track
    tracker.sort(key=lambda r: r[0])
    return truth, tracker


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--sequences", type=int, default=21)
    parser.add_argument("--frames", type=span, default=(525, 1050))
    parser.add_argument("--people", type=float, default=23.5, help="people in a frame, on average")
    parser.add_argument("--life", type=span, default=(30, 400))
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--switch-rate", type=float, default=0.003)
    parser.add_argument("--false-tracks", type=float, default=0.1, help="per frame")
    parser.add_argument("--missed-people", type=float, default=0.0)
    parser.add_argument("--tracker-ids", type=int, help="false tracks to make this many identities")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(os.path.join(args.out, "tracker"), exist_ok=True)
    for k in range(args.sequences):
        name = "SEQ-%02d" % (k + 1)
        frames = rng.randint(*args.frames)
        truth, tracker = sequence(rng, frames, args.people, args.life, args.switch_rate,
                                  args.false_tracks, args.missed_people, args.tracker_ids)
        os.makedirs(os.path.join(args.out, name, "gt"), exist_ok=True)
        with open(os.path.join(args.out, name, "seqinfo.ini"), "w") as f:
            f.write("[Sequence]\nname=%s\nimDir=img1\nframeRate=30\nseqLength=%d\n"
                    "imWidth=1920\nimHeight=1080\nimExt=.jpg\n" % (name, frames))
        with open(os.path.join(args.out, name, "gt", "gt.txt"), "w") as f:
            f.writelines("%d,%d,%d,%d,%d,%d,%d,%d,%s\n" % r for r in truth)
        with open(os.path.join(args.out, "tracker", name + ".txt"), "w") as f:
            f.writelines("%d,%d,%r,%r,%r,%r,1,-1,-1,-1\n" % r for r in tracker)


if __name__ == "__main__":
    main()
