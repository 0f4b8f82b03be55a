"""Strict checks of the statistics pages as HTML5 (no validator is installed
on the build machines): UTF-8, the doctype first, a head with the charset and
a title, only the elements the pages use, every element closed in order,
links to page names, and no bare ampersand. Prints one line per fault;
exit status 1 when there is one."""
import html.parser
import pathlib
import re
import sys

VOID = {"meta", "br"}
ALLOWED = {"html", "head", "meta", "title", "body", "a", "br"}
ENTITIES = {"amp", "lt", "gt", "quot"}
HREF = re.compile(r"^(?:[A-Za-z0-9!&()\-;=_]|%[0-9A-F]{2})*\.html$")


class Checker(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=False)
        self.errors = []
        self.stack = []
        self.seen = {}
        self.charset = False
        self.title = ""

    def fault(self, text):
        self.errors.append("line %d: %s" % (self.getpos()[0], text))

    def handle_starttag(self, tag, attrs):
        self.seen[tag] = self.seen.get(tag, 0) + 1
        if tag not in ALLOWED:
            self.fault("element <%s> is not one of the page's elements" % tag)
        raw = self.get_starttag_text() or ""
        if re.search(r"&(?!amp;|lt;|gt;|quot;|#39;)", raw):
            self.fault("bare ampersand in %r" % raw)
        attrs = dict(attrs)
        if tag == "meta":
            if self.stack[-1:] != ["head"]:
                self.fault("<meta> outside the head")
            if (attrs.get("charset") or "").lower() == "utf-8":
                self.charset = True
        if tag == "a":
            href = attrs.get("href")
            if href is None or not HREF.match(href):
                self.fault("link target %r is no page name" % href)
        if tag in ("head", "body") and self.stack != ["html"]:
            self.fault("<%s> not directly inside <html>" % tag)
        if tag not in VOID:
            self.stack.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in VOID:
            self.fault("<%s/> is no void element" % tag)
            self.stack.pop()

    def handle_endtag(self, tag):
        if tag in VOID:
            self.fault("end tag of the void element <%s>" % tag)
        elif not self.stack or self.stack[-1] != tag:
            self.fault("</%s> does not close the open %s" % (tag, self.stack[-1:] or "nothing"))
        else:
            self.stack.pop()

    def handle_data(self, data):
        if "&" in data:
            self.fault("bare ampersand in %r" % data)
        if "<" in data or ">" in data:
            self.fault("unescaped angle bracket in %r" % data)
        if self.stack[-1:] == ["title"]:
            self.title += data
        elif data.strip() and "body" not in self.stack:
            self.fault("text %r outside the body" % data.strip())

    def handle_entityref(self, name):
        if name not in ENTITIES:
            self.fault("unknown entity &%s;" % name)
        if self.stack[-1:] == ["title"]:
            self.title += "&"

    def handle_charref(self, name):
        if self.stack[-1:] == ["title"]:
            self.title += "#"

    def handle_decl(self, decl):
        self.seen["doctype"] = self.seen.get("doctype", 0) + 1


def check(path):
    raw = path.read_bytes()
    try:
        text = raw.decode("utf-8", errors="strict")
    except UnicodeDecodeError as e:
        return ["not UTF-8: %s" % e]
    c = Checker()
    if not text.lstrip().lower().startswith("<!doctype html>"):
        c.errors.append("does not start with <!DOCTYPE html>")
    c.feed(text)
    c.close()
    for tag in ("html", "head", "body", "title"):
        if c.seen.get(tag, 0) != 1:
            c.errors.append("%d <%s> elements" % (c.seen.get(tag, 0), tag))
    if not c.charset:
        c.errors.append('no <meta charset="utf-8"> in the head')
    if not c.title.strip():
        c.errors.append("empty title")
    if c.stack:
        c.errors.append("unclosed elements: %s" % c.stack)
    return c.errors


def main():
    faults = 0
    for arg in sys.argv[1:]:
        p = pathlib.Path(arg)
        files = sorted(p.glob("*.html")) if p.is_dir() else [p]
        if not files:
            print("%s: no pages" % arg)
            faults += 1
        for f in files:
            for e in check(f):
                print("%s: %s" % (f.name, e))
                faults += 1
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
