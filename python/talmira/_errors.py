"""FormatError, and the native layer's read failures turned into it."""

from ._columns import COLUMNS


class FormatError(ValueError):
    """A malformed record, in a file or an in-memory table.

    path: the file (None for a table); line: the line of the file, or the
    line the row would have in one (row + 2); row: the table's row, counted
    from 0 over its positions (None for a file); column: the table's column
    name, or the file's column number (None when the whole record is wrong);
    message: for a file, the line the talmira command prints.
    """

    def __init__(self, message, path=None, line=None, column=None, row=None):
        super().__init__(message)
        self.message = message
        self.path = path
        self.line = line
        self.column = column
        self.row = row


def _file_error(failure, paths):
    if len(failure.args) == 6:
        # A reader of another format: its message names the file itself,
        # which may be one beside the input (ignored areas, a YOLO frame).
        what, line, _, _, message, path = failure.args
        return FormatError(message, path=path or None, line=line or None)
    what, line, column, which = failure.args
    path = paths[which]
    # The command's message: "<path>:<line>: <what>".
    name = "".join(c if ord(c) >= 0x20 and ord(c) != 0x7F else "\\x%02X" % ord(c)
                   for c in path)
    where = "%s:%d" % (name, line) if line else name
    return FormatError("%s: %s" % (where, what), path=path, line=line or None,
                       column=column or None)


def _table_error(failure, labels):
    """The FormatError of a record a table's row makes, by row and column."""
    what, line, column, input = failure.args
    row = line - 2 if line >= 2 else None
    name = COLUMNS[column - 1] if 1 <= column <= len(COLUMNS) else None
    prefix = "column %d: " % column
    if name is not None and what.startswith(prefix):
        what = what[len(prefix):]
    where = "%s table" % labels[input]
    if row is not None:
        where += ", row %d" % row
    if name is not None:
        where += ", column %s" % name
    return FormatError("%s: %s" % (where, what.lstrip()), line=line or None,
                       column=name, row=row)
