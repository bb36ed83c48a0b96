#!/usr/bin/env python3
"""Reads a page from standard input and prints the query that a browser sends when the form
holding the submit button BUTTON is submitted with that button: every named field of the form
in document order (checkboxes only when ticked), the pressed button at its own place, with the
values NAME=VALUE given on the command line replacing the page's (a checkbox given is ticked);
given names the form lacks follow at the end, as fields the page script adds.
    submit_form.py BUTTON [NAME=VALUE]...
"""
import sys
import urllib.parse
from html.parser import HTMLParser


class Form(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.forms = []  # each a list of (name, value, type)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == 'form':
            self.forms.append([])
        elif tag in ('input', 'button') and self.forms and a.get('name'):
            self.forms[-1].append((a['name'], a.get('value') or '', (a.get('type') or 'text').lower(),
                                   'checked' in a))


def main():
    button, changes = sys.argv[1], dict(arg.split('=', 1) for arg in sys.argv[2:])
    page = Form()
    page.feed(sys.stdin.read())
    form = next(f for f in page.forms if any(n == button for n, _, t, _ in f if t == 'submit'))
    pairs = []
    for name, value, kind, checked in form:
        if kind == 'submit' and name != button:
            continue
        if kind == 'checkbox' and not checked and name not in changes:
            continue
        pairs.append((name, changes.get(name, value if kind != 'checkbox' else value or 'on')))
    known = {name for name, _, _, _ in form}
    pairs += [(name, value) for name, value in changes.items() if name not in known]
    print(urllib.parse.urlencode(pairs))


main()
