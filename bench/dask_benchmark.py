"""The timing of bench/dask_benchmark.sh, which builds the module, writes the
dataset and runs this:

    dask_benchmark.py TALMIRA LIST FRAMES BOXES
"""
import os
import statistics
import subprocess
import sys
import time
import warnings

import distributed

import talmira

REPEATS = 3


def seconds(run):
    start = time.perf_counter()
    value = run()
    return time.perf_counter() - start, value


def median_seconds(run):
    times, value = [], None
    for _ in range(REPEATS):
        elapsed, value = seconds(run)
        times.append(elapsed)
    return statistics.median(times), value


def command(tool, list_path, *options):
    return subprocess.run([tool, "batch", list_path, "-j", "2", "--format", "csv", *options],
                          check=True, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          text=True).stdout


def main():
    tool, list_path = sys.argv[1], sys.argv[2]
    frames, boxes = int(sys.argv[3]), int(sys.argv[4])
    warnings.simplefilter("ignore", DeprecationWarning)
    load_before = os.getloadavg()[0]
    cluster_s, cluster = seconds(lambda: distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None))
    client = distributed.Client(cluster)
    rows = []
    try:
        runs = (("plain", [], {}), ("--sweep", ["--sweep"], {"sweep": True}))
        for label, options, settings in runs:
            command_s, expected = median_seconds(lambda: command(tool, list_path, *options))
            local_s, local = median_seconds(lambda: talmira.batch(list_path, jobs=2, **settings))
            first_s, first = seconds(lambda: talmira.batch(list_path, client=client, **settings))
            dask_s, on_dask = median_seconds(
                lambda: talmira.batch(list_path, client=client, **settings))
            for result in (local, first, on_dask):
                if result.render("csv") != expected:
                    sys.exit("%s: a result differs from the command's CSV" % label)
            rows.append((label, command_s, local_s, first_s, dask_s))
    finally:
        client.close()
        cluster.close()

    print("## 200 sequences on a Dask cluster of two worker processes, beside talmira batch -j 2")
    print()
    print("- 200 sequences of %d frames x %d boxes (4 generated pairs, each listed 50 times), "
          "files in the page cache; median of %d runs, wall seconds" % (frames, boxes, REPEATS))
    print("- Machine: %d cores; load average (1 min) before: %.2f, after: %.2f"
          % (os.cpu_count(), load_before, os.getloadavg()[0]))
    print("- LocalCluster start (2 processes x 1 thread, loopback): %.2f s, not in the table"
          % cluster_s)
    print()
    print("| Run | `talmira batch -j 2` (process) | `talmira.batch(jobs=2)` (call) "
          "| Dask, first call | Dask | Dask / command |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, command_s, local_s, first_s, dask_s in rows:
        print("| %s | %.3f | %.3f | %.3f | %.3f | %.2f |"
              % (label, command_s, local_s, first_s, dask_s, dask_s / command_s))
    print()
    print("Every result equals the command's CSV, byte for byte.")


if __name__ == "__main__":
    main()
