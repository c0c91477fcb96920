#!/usr/bin/env python3
"""Checks an HTML report of talmira in a real browser (headless Chromium).

    browser_check.py PAGE [--expect FILE.json] [--screenshot OUT.png]
                     [--rows TABLE=N]... [--series KIND:CLASS]... [--no-series KIND:CLASS]...
                     [--text TEXT]... [--title TEXT] [--chromium PATH]

1. The page's source refers to nothing outside itself (no address, no
   src=, no url(), no @import).
2. Chromium loads the page (Selenium WebDriver through chromedriver, see
   tools/webdriver_session.py): the rendered DOM must hold the
   expected tables, rows, cells and texts (user-given texts shown as text,
   never as markup), and an SVG with the expected series, each with a path.
3. When the page has a sortable table and the expectations give its orders,
   the order is checked after loading it with #sort=<column>-asc|desc.
4. In the same browser: the page is loaded with scripts disabled and
   checked as in 2; then again, and no request but the page itself is
   made (the browser's performance log) and no content-security
   violation is reported, no script error is thrown, every SVG has a nonzero
   rendered size, the expected elements are there in the expected numbers,
   and with a sortable table, real mouse clicks on a column heading sort it;
   the pointer moved over an element shows the expected text where the page
   says it; then a full-page screenshot (1200 pixels wide) is written.

Expectations (--expect, JSON; every key optional):
  {"title": "text in <title>",
   "tables": {"ID": [["cell", ...], ...]},        # every body row, exactly
   "rows": {"ID": N},                             # body rows of table#ID
   "cells": [{"table": ID, "row": FIRST_CELL, "column": HEADER, "value": TEXT}],
   "series": ["nmodta:All", "fn:All"], "absent_series": ["nmodta:Plane"],
   "text": ["shown literally"],
   "sort": {"table": ID, "column": HEADER, "name_column": HEADER,
            "ascending": [NAME, ...], "descending": [NAME, ...]},
   "elements": {"CSS SELECTOR": N},               # matches in the live page
   "hover": [{"element": SELECTOR, "readout": SELECTOR, "text": TEXT}]}
                                                  # TEXT in readout once the pointer is on element

Exit status: 0 when every check passes, 1 when one fails, 77 when Chromium,
chromedriver or python3-selenium is not installed (CTest's SKIP_RETURN_CODE), 2 on a wrong command line.
"""

import argparse
import html.parser
import json
import os
import re
import sys
import urllib.parse

import webdriver_session

SKIP = webdriver_session.SKIP


Failures = webdriver_session.Failures


# --- A small DOM from the dumped page ---------------------------------------

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source",
        "track", "wbr"}


class Element:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent = tag, dict(attrs), parent
        self.children = []  # Elements and strings

    def iter(self):
        yield self
        for child in self.children:
            if isinstance(child, Element):
                yield from child.iter()

    def find_all(self, tag=None, **attrs):
        return [e for e in self.iter()
                if (tag is None or e.tag == tag)
                and all(e.attrs.get(k.replace("_", "-")) == v for k, v in attrs.items())]

    def text(self, skip=("script", "style")):
        parts = []
        for child in self.children:
            if isinstance(child, str):
                parts.append(child)
            elif child.tag not in skip:
                parts.append(child.text(skip))
        return "".join(parts)

    def clean_text(self):
        return " ".join(self.text(skip=("script", "style", "title")).split())


class DomBuilder(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.root = Element("#document", {}, None)
        self.current = self.root

    def handle_starttag(self, tag, attrs):
        element = Element(tag, attrs, self.current)
        self.current.children.append(element)
        if tag not in VOID:
            self.current = element

    def handle_startendtag(self, tag, attrs):
        self.current.children.append(Element(tag, attrs, self.current))

    def handle_endtag(self, tag):
        node = self.current
        while node is not None and node.tag != tag:
            node = node.parent
        if node is not None and node.parent is not None:
            self.current = node.parent

    def handle_data(self, data):
        self.current.children.append(data)


def parse_dom(text):
    builder = DomBuilder()
    builder.feed(text)
    builder.close()
    return builder.root


def table_by_id(dom, table_id):
    tables = dom.find_all("table", id=table_id)
    return tables[0] if tables else None


def body_rows(table):
    return [row for body in table.find_all("tbody") for row in body.find_all("tr")]


def header_cells(table):
    heads = table.find_all("thead")
    return [cell.clean_text() for cell in heads[0].find_all("th")] if heads else []


def cells_of(row):
    return [c.clean_text() for c in row.children if isinstance(c, Element) and c.tag in ("td", "th")]


# --- The browser (Selenium WebDriver, tools/webdriver_session.py) -----------

def interactive_checks(browser, page_url, expected, failures, screenshot):
    """Returns the page's markup as loaded with scripts disabled."""
    # First without scripts: the page as a reader who blocks them sees it.
    browser.load(page_url, scripts=False)
    plain_html = browser.outer_html()

    browser.load(page_url)
    requests = browser.requests()
    foreign = [r for r in requests if r.split("#")[0] != page_url and not r.startswith("data:")]
    failures.check(not foreign, f"requests beyond the page itself: {foreign}")
    failures.check(page_url in [r.split("#")[0] for r in requests],
                   f"the page's own request was not seen (requests: {requests})")
    errors = browser.errors()
    failures.check(not errors, f"script errors: {errors}")
    violations = browser.violations()
    failures.check(violations == [], f"content-security violations: {violations}")

    sizes = browser.run("return Array.from(document.querySelectorAll('svg')).map("
                        "s => { const r = s.getBoundingClientRect(); return [r.width, r.height]; })")
    if expected.get("series"):
        failures.check(bool(sizes), "no SVG was laid out")
    for width, height in sizes or []:
        failures.check(width > 100 and height > 100, f"an SVG is laid out at {width} x {height}")

    for selector, count in expected.get("elements", {}).items():
        shown = browser.run("return document.querySelectorAll(arguments[0]).length", selector)
        failures.check(shown == count, f"{selector} matches {shown} elements, expected {count}")

    sort = expected.get("sort")
    if sort:
        click_sort(browser, sort, failures)

    for hover in expected.get("hover", []):
        point_at(browser, hover, failures)

    if screenshot:
        browser.screenshot(screenshot)
        print(f"screenshot: {screenshot}")
    return plain_html


def click_sort(browser, sort, failures):
    """Clicks the sort column's heading like a person: once (ascending), twice (descending)."""
    from selenium.webdriver.common.action_chains import ActionChains

    order_of = ("const t = document.getElementById(arguments[0]);"
                " const heads = Array.from(t.tHead.rows[0].cells).map(c => c.textContent.trim());"
                " const at = heads.indexOf(arguments[1]);"
                " return Array.from(t.tBodies[0].rows).map(r => r.cells[at].textContent.trim());")
    button_of = ("const t = document.getElementById(arguments[0]);"
                 " const head = Array.from(t.tHead.rows[0].cells)"
                 ".find(c => c.textContent.trim() === arguments[1]);"
                 " const b = head && head.querySelector('button'); if (b) b.scrollIntoView(); return b;")
    for wanted in ("ascending", "descending"):
        button = browser.run(button_of, sort["table"], sort["column"])
        if not failures.check(button is not None, f"no sort button on column {sort['column']}"):
            return
        ActionChains(browser.driver).move_to_element(button).click().perform()
        order = browser.run(order_of, sort["table"], sort["name_column"])
        failures.check(order == sort[wanted],
                       f"after clicking {sort['column']} for {wanted}: {order}, expected {sort[wanted]}")
        shown = browser.run("return document.getElementById(arguments[0]).tHead"
                            ".querySelector('[aria-sort]')?.getAttribute('aria-sort')", sort["table"])
        failures.check(shown == wanted, f"the heading shows {shown}, expected {wanted}")


def point_at(browser, hover, failures):
    """Moves the pointer onto the middle of an element, as a person would, and
    reads what the page then shows in its readout."""
    from selenium.webdriver.common.action_chains import ActionChains

    element = browser.run("const e = document.querySelector(arguments[0]);"
                          " if (e) e.scrollIntoView({block: 'center'}); return e;", hover["element"])
    if not failures.check(element is not None, f"no element {hover['element']} to point at"):
        return
    ActionChains(browser.driver).move_to_element(element).perform()
    shown = browser.run("return document.querySelector(arguments[0])?.textContent", hover["readout"])
    failures.check(shown is not None and hover["text"] in shown,
                   f"pointing at {hover['element']} shows {shown!r}, expected {hover['text']!r}")


# --- Checks of the page -----------------------------------------------------

def static_checks(source, failures):
    """Nothing in the page's markup may make the browser fetch anything."""
    dom = parse_dom(source)
    for element in dom.iter():
        failures.check(element.tag not in ("link", "iframe", "object", "embed", "img", "base",
                                           "audio", "video", "source", "frame"),
                       f"the page's source has a <{element.tag}> element")
        for name, value in element.attrs.items():
            value = value or ""
            if name in ("src", "href", "xlink:href", "action", "formaction", "poster", "data",
                        "srcset", "background"):
                failures.check(value.startswith("#"), f"the page's source has {name}={value!r}")
            if name == "style":
                failures.check(not re.search(r"(?i)url\s*\(|@import", value),
                               f"a style attribute fetches: {value!r}")
        if element.tag == "style":
            css = element.text(skip=())
            failures.check(not re.search(r"(?i)url\s*\(|@import", css), "the style sheet fetches")
        if element.tag == "script":
            code = element.text(skip=())
            failures.check(not re.search(r"fetch\s*\(|XMLHttpRequest|WebSocket|EventSource|import\s*\(",
                                         code), "a script can fetch")
        if element.tag == "meta" and element.attrs.get("http-equiv", "").lower() == "refresh":
            failures.check(False, "the page refreshes itself")


def dom_checks(dom, expected, failures):
    title = dom.find_all("title")
    if expected.get("title"):
        failures.check(bool(title) and expected["title"] in title[0].text(),
                       f"title {title[0].text() if title else None!r} lacks {expected['title']!r}")
    # Hostile names must stay text: no element may come from them.
    for tag in ("img", "b", "iframe", "object", "embed"):
        failures.check(not dom.find_all(tag), f"the page has a <{tag}> element")
    for script in dom.find_all("script"):
        failures.check("alert(" not in script.text(skip=()), "a script element holds user text")

    for table_id, rows in expected.get("tables", {}).items():
        table = table_by_id(dom, table_id)
        if not failures.check(table is not None, f"no table#{table_id}"):
            continue
        shown = [cells_of(row) for row in body_rows(table)]
        failures.check(shown == rows, f"table#{table_id} shows {shown}, expected {rows}")
    for table_id, count in expected.get("rows", {}).items():
        table = table_by_id(dom, table_id)
        if table is None:
            # A list is a table of one column for this purpose.
            lists = [e for e in dom.iter() if e.attrs.get("id") == table_id]
            shown = len(lists[0].find_all("li")) if lists else None
        else:
            shown = len(body_rows(table))
        failures.check(shown == count, f"#{table_id} has {shown} rows, expected {count}")
    for cell in expected.get("cells", []):
        table = table_by_id(dom, cell["table"])
        if not failures.check(table is not None, f"no table#{cell['table']}"):
            continue
        heads = header_cells(table)
        if not failures.check(cell["column"] in heads, f"table#{cell['table']} has no column {cell['column']!r}"):
            continue
        at = heads.index(cell["column"])
        rows = [cells_of(row) for row in body_rows(table)]
        matches = [row for row in rows if row and row[0] == cell["row"]]
        if failures.check(len(matches) == 1, f"table#{cell['table']} has {len(matches)} rows {cell['row']!r}"):
            value = matches[0][at] if at < len(matches[0]) else None
            failures.check(value == cell["value"], f"table#{cell['table']} {cell['row']}/{cell['column']} "
                           f"is {value!r}, expected {cell['value']!r}")

    body = dom.find_all("body")
    visible = " ".join(body[0].text().split()) if body else ""
    for text in expected.get("text", []):
        failures.check(" ".join(text.split()) in visible, f"the page does not show {text!r}")

    svgs = dom.find_all("svg")
    series = {}
    for svg in svgs:
        for group in svg.find_all("g"):
            if "series" in group.attrs.get("class", "").split():
                key = f"{group.attrs.get('data-series')}:{group.attrs.get('data-class')}"
                paths = group.find_all("path")
                titles = group.find_all("title")
                series[key] = bool(paths) and len(paths[0].attrs.get("d", "")) > 3 and bool(titles)
    if expected.get("series"):
        failures.check(bool(svgs), "the page has no SVG")
        for svg in svgs:
            width, height = svg.attrs.get("width", "0"), svg.attrs.get("height", "0")
            failures.check(float(width) > 0 and float(height) > 0 and svg.attrs.get("viewbox"),
                           f"an SVG has no size ({width} x {height})")
    for key in expected.get("series", []):
        failures.check(series.get(key) is True, f"series {key} is missing, or has no line or title")
    for key in expected.get("absent_series", []):
        failures.check(key not in series, f"series {key} is drawn but should not be")


def dom_sort_checks(browser, url, expected, failures):
    sort = expected["sort"]
    column_key = None
    for wanted, suffix in (("ascending", "asc"), ("descending", "desc")):
        if column_key is None:
            browser.load(url)
            dom = parse_dom(browser.outer_html())
            table = table_by_id(dom, sort["table"])
            if not failures.check(table is not None, f"no table#{sort['table']}"):
                return
            heads = table.find_all("thead")[0].find_all("th")
            keyed = [h.attrs.get("data-key") for h in heads if h.clean_text() == sort["column"]]
            if not failures.check(keyed and keyed[0], f"column {sort['column']!r} is not sortable"):
                return
            column_key = keyed[0]
            # Without a sort in the address the rows stay in list order, and the script ran.
            failures.check(bool(table.find_all("button")), "the sort script did not add its buttons")
        browser.load(f"{url}#sort={column_key}-{suffix}")
        dom = parse_dom(browser.outer_html())
        table = table_by_id(dom, sort["table"])
        heads = header_cells(table)
        at = heads.index(sort["name_column"])
        order = [cells_of(row)[at] for row in body_rows(table)]
        failures.check(order == sort[wanted], f"#sort={column_key}-{suffix} gives {order}, "
                                              f"expected {sort[wanted]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("page")
    parser.add_argument("--expect", help="expectations, JSON (see the script's documentation)")
    parser.add_argument("--screenshot", help="write a full-page PNG here")
    parser.add_argument("--rows", action="append", default=[], metavar="TABLE=N")
    parser.add_argument("--series", action="append", default=[], metavar="KIND:CLASS")
    parser.add_argument("--no-series", action="append", default=[], metavar="KIND:CLASS")
    parser.add_argument("--text", action="append", default=[])
    parser.add_argument("--title")
    parser.add_argument("--chromium")
    args = parser.parse_args()

    expected = {}
    if args.expect:
        with open(args.expect, encoding="utf-8") as f:
            expected = json.load(f)
    for item in args.rows:
        table, _, count = item.partition("=")
        expected.setdefault("rows", {})[table] = int(count)
    expected.setdefault("series", []).extend(args.series)
    expected.setdefault("absent_series", []).extend(args.no_series)
    expected.setdefault("text", []).extend(args.text)
    if args.title:
        expected["title"] = args.title

    found, why = webdriver_session.find_browser(args.chromium)
    if found is None:
        print(f"SKIP: {why} (tools/install-deps --for tests installs it)")
        return SKIP

    page = os.path.abspath(args.page)
    with open(page, encoding="utf-8") as f:
        source = f.read()
    page_url = "file://" + urllib.parse.quote(page)
    failures = Failures()
    static_checks(source, failures)
    with webdriver_session.open_session() as browser:
        browser.load(page_url)
        dom_checks(parse_dom(browser.outer_html()), expected, failures)
        plain_html = interactive_checks(browser, page_url, expected, failures, args.screenshot)
        if expected.get("sort"):
            dom_sort_checks(browser, page_url, expected, failures)
    # Without scripts the page must show the same, its tables in list order.
    plain = Failures()
    plain_dom = parse_dom(plain_html)
    dom_checks(plain_dom, expected, plain)
    sort = expected.get("sort")
    if sort and table_by_id(plain_dom, sort["table"]) is not None:
        table = table_by_id(plain_dom, sort["table"])
        plain.check(not table.find_all("button"), "scripts ran although they were disabled")
        positions = [cells_of(row)[0] for row in body_rows(table)]
        plain.check(positions == sorted(positions, key=int), f"without scripts the rows are {positions}")
    failures.messages += [f"without scripts: {m}" for m in plain.messages]

    if failures.messages:
        for message in failures.messages:
            print(f"FAIL: {message}", file=sys.stderr)
        print(f"{page}: {len(failures.messages)} checks failed", file=sys.stderr)
        return 1
    print(f"{page}: every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
