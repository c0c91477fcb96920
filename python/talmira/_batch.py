"""Datasets: batch(), dataset_sequences(), score_sequence() and pool().

A result travels (to and from Dask workers, through pickles) as the text of
the partial result that `talmira batch --shard` writes: a sequence is the
one-sequence shard of its position, a whole dataset shard 1/1. Joining them
is the C++ of `talmira merge`, so that every way of scoring a dataset pools
exactly as the command does.
"""

import dataclasses
import json
import math
import numbers
import os
import warnings

import numpy as np

from . import _talmira
from ._errors import FormatError
from ._inputs import _dataset_formats, _path_of
from ._numbers import _confidence, _jobs, _nmodta, _shortest
from ._score import _RESULT_COLUMNS
from ._sweep import _BEST_COLUMNS, _CURVE_COLUMNS, MAX_GRID


#: The name a dataset given as a table has where a LIST's path would be.
TABLE_DATASET = "(table)"
_DATASET_COLUMNS = ("sequence", "groundtruth", "system")
_DATASET_FORMAT_COLUMNS = ("gt_format", "sys_format")
_COUNT_COLUMNS = ("gt", "det", "fn", "fp", "frames")
# A sequence's best points: those of best but its average precision, since a
# sequence's curves are pooled and let go, not kept.
_SEQUENCE_BEST_COLUMNS = tuple(c for c in _BEST_COLUMNS if c != "ap")


@dataclasses.dataclass(frozen=True)
class DatasetSequence:
    """One sequence of a dataset, as dataset_sequences() reads it: what
    score_sequence() scores, on this process or another.

    position: its place in the list, from 0; name, groundtruth, system: as the
    list gives them (paths joined with the LIST's folder); list, list_digest,
    count: the dataset it belongs to (its LIST as given, a digest of the
    LIST's bytes, and its number of sequences), which pool() checks;
    groundtruth_format, system_format: the formats its line names (the
    LIST's gt_format and sys_format columns), empty for the call's.
    """

    position: int
    name: str
    groundtruth: str
    system: str
    list: str
    list_digest: str
    count: int
    groundtruth_format: str = ""
    system_format: str = ""


def _dataset_field(value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    if type(value).__name__ in ("NAType", "NaTType"):
        return ""
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if isinstance(value, bytes):
        value = os.fsdecode(value)
    text = str(value)
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def _dataset_table_text(table):
    """A table of sequences as the text of a LIST, to be read by its rules."""
    if isinstance(table, dict):
        names = [str(c) for c in table]
    elif hasattr(table, "columns") and hasattr(table, "__getitem__"):
        names = [str(c) for c in table.columns]
    else:
        raise TypeError("a dataset is a LIST's path or a pandas DataFrame with the columns "
                        "sequence, groundtruth and system, not %s" % type(table).__name__)
    missing = [c for c in _DATASET_COLUMNS if c not in names]
    if missing:
        raise ValueError("the dataset table lacks the column%s %s" % (
            "s" if len(missing) > 1 else "", ", ".join(missing)))
    wanted = _DATASET_COLUMNS
    if any(c in names for c in _DATASET_FORMAT_COLUMNS):
        missing = [c for c in _DATASET_FORMAT_COLUMNS if c not in names]
        if missing:
            raise ValueError("the dataset table's formats need both gt_format and sys_format")
        wanted = _DATASET_COLUMNS + _DATASET_FORMAT_COLUMNS
    columns = [list(table[c]) for c in wanted]
    if len({len(c) for c in columns}) > 1:
        raise ValueError("the dataset table's columns differ in length")
    lines = [",".join(wanted)]
    lines += [",".join(_dataset_field(v) for v in row) for row in zip(*columns)]
    return ("\n".join(lines) + "\n").encode("utf-8", "surrogateescape")


def dataset_sequences(dataset):
    """The sequences of a dataset, by the rules of `talmira batch LIST`, as a
    list of DatasetSequence: for score_sequence() on any process, whose
    results pool() joins.

    dataset: the path of a LIST (a CSV file with the header
    sequence,groundtruth,system and one sequence a line, paths relative to
    its folder), or a table (a pandas DataFrame, or a dict of lists) with the
    columns sequence, groundtruth and system, paths relative to the current
    folder. Raises FormatError for a line or row that breaks the rules (an
    empty field, a name used twice, the name "(all)"), naming its line (a
    LIST) or its row (a table, counted from 0), and OSError when the LIST
    cannot be read.
    """
    return _read_dataset(dataset)[1]


def _read_dataset(dataset):
    """(list, digest, count) of a dataset, and its DatasetSequences."""
    path = _path_of(dataset)
    if path is not None:
        with open(path, "rb") as fh:
            text = fh.read()
    else:
        text = _dataset_table_text(dataset)
    try:
        (name, digest, count), entries = _talmira.read_dataset_list(
            text, path if path is not None else TABLE_DATASET)
    except _talmira.ReadFailure as failure:
        what, line = failure.args[0], failure.args[1]
        if path is not None:
            raise FormatError("%s:%d: %s" % (path, line, what), path=path, line=line) from None
        row = line - 2 if line >= 2 else None
        where = "dataset table" + (", row %d" % row if row is not None else "")
        raise FormatError("%s: %s" % (where, what), line=line, row=row) from None
    return (name, digest, count), [
        DatasetSequence(position, sequence, groundtruth, system, name, digest, count,
                        groundtruth_format, system_format)
        for position, sequence, groundtruth, system, groundtruth_format, system_format
        in entries]


def _grid_steps(sweep, grid, exact):
    if not sweep or exact:
        return 0
    if isinstance(grid, bool) or not isinstance(grid, numbers.Integral) or not 1 <= grid <= MAX_GRID:
        raise ValueError("grid %r is not a whole number from 1 to %d" % (grid, MAX_GRID))
    return int(grid)


def _class_rows(rows, columns):
    """A DataFrame of class rows with whole counts and the command's NMODTA."""
    import pandas as pd

    frame = pd.DataFrame(rows, columns=list(columns))
    for column in columns:
        if column in _COUNT_COLUMNS:
            frame[column] = frame[column].astype("int64")
        elif column in ("nmodta", "threshold"):
            frame[column] = frame[column].astype("float64")
    return frame


def _best_rows(entry, name=None):
    """The best points of a part's sequence, with the class's frames."""
    frames = {c["class"]: c["frames"] for c in entry["classes"]}
    lead = () if name is None else (name,)
    return [lead + (b["class"], b["threshold"], b["gt"], b["det"], b["fn"], b["fp"],
                    frames[b["class"]], b["nmodta"]) for b in entry["best"]]


class _PartView:
    """A result held as the text of its part, read (once) when looked at.
    Pickles as that text alone."""

    def __init__(self, partial):
        self.partial = partial

    def __getstate__(self):
        return {"partial": self.partial}

    def __setstate__(self, state):
        self.partial = state["partial"]

    @property
    def _part(self):
        cached = self.__dict__.get("_parsed")
        if cached is None:
            cached = self.__dict__["_parsed"] = json.loads(self.partial)
        return cached

    @property
    def confidence(self):
        """The confidence threshold the counts are at."""
        return self._part["confidence"]

    @property
    def sweep(self):
        """Whether the sequences were swept over every threshold."""
        return "sweep" in self._part


class SequenceResult(_PartView):
    """One sequence of a dataset scored by score_sequence().

    name, position, groundtruth, system: the sequence's; error: why it could
    not be scored (the command's message), None when it was; to_pandas(): its
    class rows at the confidence (class, gt, det, fn, fp, frames, nmodta;
    none when it failed); best: with a sweep, each class's best threshold
    (class, threshold, gt, det, fn, fp, frames, nmodta: no average precision,
    which only the pooled curves give), None otherwise.
    partial: the text of its partial result, as `talmira batch --shard`
    writes one: pool() joins these, and so does `talmira merge` from files.
    """

    @property
    def _entry(self):
        return self._part["sequences"][0]

    name = property(lambda self: self._entry["sequence"])
    position = property(lambda self: self._entry["position"])
    groundtruth = property(lambda self: self._entry["groundtruth"])
    system = property(lambda self: self._entry["system"])
    error = property(lambda self: self._entry.get("error"))

    def to_pandas(self):
        """The sequence's class rows at the confidence (none when it failed)."""
        rows = [tuple(c[k] for k in _RESULT_COLUMNS) for c in self._entry.get("classes", [])]
        return _class_rows(rows, _RESULT_COLUMNS)

    @property
    def best(self):
        if not self.sweep:
            return None
        return _class_rows(_best_rows(self._entry) if self.error is None else [],
                           _SEQUENCE_BEST_COLUMNS)

    def __repr__(self):
        if self.error is not None:
            return "SequenceResult(%r, failed: %s)" % (self.name, self.error)
        return "SequenceResult(%r, confidence %s)\n%s" % (
            self.name, self.confidence, self.to_pandas().to_string(index=False))


class BatchResult(_PartView):
    """A whole dataset scored: what `talmira batch` gives, as tables.

    sequences: each scored sequence's class rows in list order (sequence,
    class, gt, det, fn, fp, frames, nmodta), the rows of `talmira batch
    --format csv`; pooled: the totals over the scored sequences (class, gt,
    det, fn, fp, frames, nmodta), counts summed and NMODTA computed from the
    sums; failed: the sequences that could not be scored (sequence,
    groundtruth, system, error), left out of the totals.

    With a sweep, also: best, each class's best threshold over the pooled
    exact curves and its average precision (class, threshold, gt, det, fn,
    fp, frames, nmodta, ap), as sweep() gives them for one pair; curves, the
    pooled curves' rows as `talmira batch --sweep --format csv` lists them
    (class, threshold, gt, det, fn, fp, nmodta, precision, recall; at
    k/grid, or every threshold when exact); sequence_best, each scored
    sequence's best thresholds (sequence, then the columns of best but ap:
    a sequence's own curves are not kept). None without a sweep.

    render(format): the command's output itself. partial: the text of the
    whole run as a partial result (shard 1/1), which `talmira merge` reads.
    """

    @property
    def _pooled(self):
        cached = self.__dict__.get("_pooled_rows")
        if cached is None:
            cached = self.__dict__["_pooled_rows"] = _talmira.pooled_dataset(self.partial)
        return cached

    @property
    def grid(self):
        """With a sweep: the grid's steps, None when exact (and without a sweep)."""
        return self._part.get("sweep", {}).get("grid")

    @property
    def sequences(self):
        rows = [(s["sequence"],) + tuple(c[k] for k in _RESULT_COLUMNS)
                for s in self._part["sequences"] if "error" not in s for c in s["classes"]]
        return _class_rows(rows, ("sequence",) + _RESULT_COLUMNS)

    @property
    def pooled(self):
        rows = [(name, g, d, n, p, f, _nmodta(m)) for name, g, d, n, p, f, m in self._pooled[0]]
        return _class_rows(rows, _RESULT_COLUMNS)

    @property
    def failed(self):
        import pandas as pd

        rows = [(s["sequence"], s["groundtruth"], s["system"], s["error"])
                for s in self._part["sequences"] if "error" in s]
        return pd.DataFrame(rows, columns=["sequence", "groundtruth", "system", "error"])

    @property
    def best(self):
        if self._pooled[1] is None:
            return None
        rows = [(name, _nmodta(t), g, d, n, p, frames, _nmodta(m), ap)
                for name, (t, g, d, n, p, frames, m, ap) in zip(self._pooled[1][2],
                                                                 self._pooled[1][1])]
        return _class_rows(rows, _BEST_COLUMNS)

    @property
    def curves(self):
        import pandas as pd

        if self._pooled[1] is None:
            return None
        (slots, thresholds, gts, dets, fns, fps, nmodtas, precisions,
         recalls) = self._pooled[1][0]
        return pd.DataFrame({
            "class": np.array(self._pooled[1][2], dtype=object)[slots.astype(np.intp)],
            "threshold": _shortest(thresholds),
            "gt": gts, "det": dets, "fn": fns, "fp": fps,
            "nmodta": _shortest(nmodtas),
            "precision": precisions, "recall": recalls,
        }, columns=list(_CURVE_COLUMNS))

    @property
    def sequence_best(self):
        if not self.sweep:
            return None
        rows = [row for s in self._part["sequences"] if "error" not in s
                for row in _best_rows(s, s["sequence"])]
        return _class_rows(rows, ("sequence",) + _SEQUENCE_BEST_COLUMNS)

    def render(self, format="text"):
        """The output of `talmira batch` over the same dataset, byte for byte:
        format "text", "csv" or "json" (--format), "html" (--report's page)
        or, with a sweep, "svg" (--plot's picture)."""
        return _talmira.render_dataset(self.partial, format)

    def _repr_html_(self):
        return self.pooled.to_html(index=False, float_format=lambda v: "%.6f" % v)

    def __repr__(self):
        return self.render("text")


def _reported(result, caller):
    """The result, with a warning when some of its sequences failed: they are
    reported, as the command reports them, not raised."""
    sequences = result._part["sequences"]
    failed = sum(1 for s in sequences if "error" in s)
    if failed:
        warnings.warn("%s: %d of %d sequences failed; they are left out of the totals"
                      % (caller, failed, len(sequences)), stacklevel=3)
    return result


def score_sequence(sequence, confidence=0.0, sweep=False, grid=100, exact=False, jobs=1, *,
                   format=None, gt_format=None, sys_format=None, **options):
    """Scores one DatasetSequence as `talmira batch` scores each of its
    sequences: a SequenceResult, for pool(). A file that cannot be read or is
    malformed does not raise: the result holds its message (error).

    confidence: as in score(); sweep: sweep the sequence over every
    threshold instead (its best points, its counts at confidence, and its
    exact curves for the pool), with grid and exact as in sweep(), which set
    the rows the pooled curves list. jobs: threads that match frames
    (default 1, for a pool of workers; None: every core). Every sequence of
    one dataset must be scored with the same confidence and sweep settings.
    format, gt_format, sys_format and the options of other formats: as in
    batch(), the same for every sequence of the dataset.
    """
    if not isinstance(sequence, DatasetSequence):
        raise TypeError("score_sequence() takes a DatasetSequence (from dataset_sequences()), "
                        "not %s" % type(sequence).__name__)
    threshold = _confidence(confidence)
    steps = _grid_steps(sweep, grid, exact)
    formats = _dataset_formats(format, gt_format, sys_format, **options)
    text = _talmira.score_shard_part(
        (sequence.list, sequence.list_digest, sequence.count), [_entry(sequence)],
        sequence.position + 1, sequence.count, threshold, bool(sweep), steps, _jobs(jobs),
        formats)
    return SequenceResult(text)


def _entry(sequence):
    return (sequence.position, sequence.name, sequence.groundtruth, sequence.system,
            sequence.groundtruth_format, sequence.system_format)


def _score_shard(source, entries, shard, shards, confidence, sweep, grid_steps, jobs,
                 formats=None):
    """A Dask task of batch(): the text of the part of shard `shard`/`shards`."""
    return _talmira.score_shard_part(source, entries, shard, shards, confidence, sweep,
                                     grid_steps, jobs, formats)


def pool(results):
    """Joins the results of score_sequence() (in any order) into the
    BatchResult of the whole dataset, exactly as `talmira merge` joins the
    parts of shards: counts summed over the scored sequences, and with a
    sweep their exact curves summed. A failed sequence is listed in failed,
    left out of the totals and reported by a warning.

    Raises ValueError, with merge's message, when the results are not those
    of one dataset scored with one confidence and sweep setting, when two
    hold the same sequence, or when a sequence is missing. A BatchResult
    counts as the part holding all its sequences.
    """
    parts, names = [], []
    for index, result in enumerate(results):
        if not isinstance(result, _PartView):
            raise TypeError("pool() joins the results of score_sequence(), not %s"
                            % type(result).__name__)
        parts.append(result.partial)
        names.append("result %d" % index)
    if not parts:
        raise ValueError("pool() needs the result of at least one sequence")
    return _reported(BatchResult(_talmira.join_dataset_parts(parts, names)), "talmira.pool")


def batch(dataset, confidence=0.0, sweep=False, jobs=None, grid=100, exact=False, client=None, *,
          format=None, gt_format=None, sys_format=None, **options):
    """Scores every sequence of a dataset as `talmira batch` does, with the
    totals pooled over the dataset: a BatchResult.

    dataset: a LIST's path, or a DataFrame with the columns sequence,
    groundtruth and system (see dataset_sequences()). confidence, sweep,
    grid, exact: as the command's -c, --sweep, --grid and --exact. A sequence
    that cannot be read or is malformed does not stop the others: it is
    listed in the result's failed table, left out of the totals and reported
    by a warning.

    Without a client, the sequences are scored in this process on `jobs`
    threads (default: every core), as `talmira batch -j`. With a
    dask.distributed Client, the dataset is cut into shards as `talmira batch
    --shard K/N` cuts it, four for each thread of the cluster (at most one a
    sequence); each shard is a task whose `jobs` threads (default 1) score
    its sequences one after the other, and the parts are joined as `talmira
    merge` joins them. Few parts travel back, each holding its sequences'
    counts and, with a sweep, the sum of their curves. The workers must see
    the files at the paths the dataset gives (an absolute LIST path, or
    workers started in the same folder). The result is the same either way.

    Inputs of other formats: format (both inputs), or gt_format and
    sys_format, and the options of other formats, as in score() and as the
    command's --gt-format, --sys-format and the options that go with them;
    a LIST (or table) may also end with the columns gt_format and
    sys_format, naming each sequence's formats (empty: the call's).
    """
    threshold = _confidence(confidence)
    steps = _grid_steps(sweep, grid, exact)
    formats = _dataset_formats(format, gt_format, sys_format, **options)
    source, sequences = _read_dataset(dataset)
    entries = [_entry(s) for s in sequences]
    if client is None or not sequences:
        text = _talmira.score_shard_part(source, entries, 1, 1, threshold, bool(sweep), steps,
                                         _jobs(jobs), formats)
        return _reported(BatchResult(text), "talmira.batch")
    threads = sum(client.nthreads().values())
    shards = max(1, min(len(sequences), 4 * threads))
    futures = [client.submit(_score_shard, source, entries, shard, shards, threshold,
                             bool(sweep), steps, 1 if jobs is None else _jobs(jobs), formats,
                             pure=False)
               for shard in range(1, shards + 1)]
    parts = client.gather(futures)
    names = ["shard %d/%d" % (shard, shards) for shard in range(1, shards + 1)]
    return _reported(BatchResult(_talmira.join_dataset_parts(parts, names)), "talmira.batch")
