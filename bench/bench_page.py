"""The bench scripts' results page, docs/bench.md: each script writes its
tables between its own markers there, <!-- NAME results begin --> and
<!-- NAME results end -->, and leaves the rest of the page as it is."""
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGE = os.path.join(ROOT, "docs/bench.md")


def write_section(name, text):
    """Replaces what stands between NAME's markers with text. A page without
    them fails the run: the results would be lost without a word."""
    with open(PAGE) as page:
        content = page.read()
    begin, end = "<!-- %s results begin -->" % name, "<!-- %s results end -->" % name
    if begin not in content or end not in content:
        raise SystemExit("%s: the markers %s and %s are missing; the results are above" % (PAGE, begin, end))
    head, rest = content.split(begin, 1)
    tail = rest.split(end, 1)[1]
    with open(PAGE, "w") as page:
        page.write(head + begin + "\n\n" + text.strip("\n") + "\n\n" + end + tail)
