#!/usr/bin/env python3
"""Checks that every relative link of the given Markdown pages resolves.

    check_links.py ROOT PAGE...

A link (`[text](target)`, an image `![alt](target)`, or an HTML `href`/`src`)
outside code must name a file or folder that exists under ROOT, and its
`#anchor` (also a bare `#anchor` into the page itself) must be one that
GitHub makes for a heading of the target page: the heading's text in lower
case, without punctuation other than `-` and `_`, spaces as `-`, and `-1`,
`-2`, ... after a repeated one. Links with a scheme (https:, mailto:) are not
followed. Every given page under docs/ must also be linked from another given
page, so that none is left where nobody finds it. Exits 1 naming every link
that does not resolve.
"""

import os
import re
import sys

LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^()\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
HTML_LINK = re.compile(r"""\b(?:href|src)\s*=\s*["']([^"']+)["']""")
HTML_ANCHOR = re.compile(r"""<a\s+(?:id|name)\s*=\s*["']([^"']+)["']""")
FENCE = re.compile(r"^\s*(```|~~~)")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")


def prose(text):
    """The page with fenced code blanked to empty lines and inline code to
    blanks, so that a link's text may run over lines and a match's offset
    still gives its line."""
    lines, fenced = [], False
    for line in text.split("\n"):
        if FENCE.match(line):
            fenced = not fenced
            lines.append("")
        elif fenced:
            lines.append("")
        else:
            lines.append(re.sub(r"`+[^`]*`+", lambda m: " " * len(m.group(0)), line))
    return "\n".join(lines)


def slug(heading):
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link's text only
    text = re.sub(r"<[^>]+>", "", text).strip().lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(text):
    found, seen = set(), {}
    fenced = False
    for line in text.split("\n"):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if fenced:
            continue
        match = HEADING.match(line)
        if match:
            base = slug(match.group(2))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else "%s-%d" % (base, count))
        found.update(HTML_ANCHOR.findall(line))
    return found


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    # Paths as written, links not followed: a page's link must stay in the tree.
    root = os.path.abspath(argv[1])
    pages = [os.path.abspath(p) for p in argv[2:]]
    anchor_cache, linked, failures, links, with_anchor = {}, set(), [], 0, 0

    def anchors_of(path):
        if path not in anchor_cache:
            with open(path, encoding="utf-8") as f:
                anchor_cache[path] = anchors(f.read())
        return anchor_cache[path]

    for page in pages:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        where = os.path.relpath(page, root)
        blanked = prose(text)
        found = [(m.start(), m.group(1)) for m in LINK.finditer(blanked)]
        found += [(m.start(), m.group(1)) for m in HTML_LINK.finditer(blanked)]
        for start, target in sorted(found):
            number = blanked.count("\n", 0, start) + 1
            if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target):
                continue
            links += 1
            path_part, _, anchor = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(page), path_part)) if path_part else page
            problem = None
            if not (path == root or path.startswith(root + os.sep)):
                problem = "leads out of the repository"
            elif not os.path.exists(path):
                problem = "no such file"
            elif anchor:
                with_anchor += 1
                if not path.endswith(".md") or os.path.isdir(path):
                    problem = "an anchor into a file that is not a Markdown page"
                elif anchor not in anchors_of(path):
                    problem = "no heading of %s makes the anchor #%s" % (os.path.relpath(path, root), anchor)
            if problem:
                failures.append("%s:%d: link %s: %s" % (where, number, target, problem))
            elif path != page:
                linked.add(path)

    for page in pages:
        if os.path.relpath(page, root).startswith("docs" + os.sep) and page not in linked:
            failures.append("%s: no other page links to it" % os.path.relpath(page, root))
    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    print("%d relative links (%d with an anchor) in %d pages: every one resolves" % (links, with_anchor, len(pages)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
