"""talmira.score on DataFrames beside talmira.score on the paths, in pairs.

    python_pairs.py [--pairs K] FOLDER

FOLDER holds groundtruth.csv and systemoutput.csv. Reads both into
DataFrames with pandas (untimed), then calls talmira.score(gt_frame,
sys_frame) (A) and talmira.score(gt_path, sys_path) (B) in turn, K times
after one untimed call of each, in this one process, and prints a row of
bench/run_benchmarks.sh's table: the median of the pairs' ratios A/B, their
smallest and largest, the goal (1.1), the median seconds of each and the
median memory each call added to the process at its peak (resident memory
sampled every millisecond, less that before the call). Fails when the two
give other counts.
"""

import argparse
import os
import statistics
import sys
import threading
import time

import pandas as pd

import talmira

GOAL = 1.1
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def timed_call(run):
    """Seconds of run(), the memory it added at its peak (bytes), and its value."""
    before = resident_bytes()
    peak = [before]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], resident_bytes())
            time.sleep(0.001)

    sampler = threading.Thread(target=sample)
    sampler.start()
    start = time.perf_counter()
    value = run()
    seconds = time.perf_counter() - start
    done.set()
    sampler.join()
    peak[0] = max(peak[0], resident_bytes())
    return seconds, peak[0] - before, value


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("folder")
    args = parser.parse_args()
    gt = os.path.join(args.folder, "groundtruth.csv")
    sysout = os.path.join(args.folder, "systemoutput.csv")

    def read_frame(path):
        frame = pd.read_csv(path, keep_default_na=False)
        frame.columns = list(talmira.COLUMNS) + ["text", "number"]
        return frame

    gt_frame, sys_frame = read_frame(gt), read_frame(sysout)
    from_frames = lambda: talmira.score(gt_frame, sys_frame)  # noqa: E731
    from_paths = lambda: talmira.score(gt, sysout)  # noqa: E731
    if from_frames()["All"] != from_paths()["All"]:
        sys.exit("talmira.score gives other counts on the DataFrames than on the paths")
    ratios, seconds_a, seconds_b, added_a, added_b = [], [], [], [], []
    for _ in range(args.pairs):
        a, memory_a, _ = timed_call(from_frames)
        b, memory_b, _ = timed_call(from_paths)
        ratios.append(a / b)
        seconds_a.append(a)
        seconds_b.append(b)
        added_a.append(memory_a)
        added_b.append(memory_b)
    ratio = statistics.median_low(ratios)  # as the shell scripts take it
    mib = 1 << 20
    print("| long: Python talmira.score, DataFrames (A) vs paths (B) | %.3f | %.3f to %.3f | %s | %s "
          "| %.3f s | %.3f s | %d MiB added | %d MiB added |"
          % (ratio, min(ratios), max(ratios), GOAL, "yes" if ratio <= GOAL else "no",
             statistics.median(seconds_a), statistics.median(seconds_b),
             statistics.median(added_a) // mib, statistics.median(added_b) // mib))


if __name__ == "__main__":
    main()
