#!/usr/bin/env python3
"""The documentation link check finds what a reader would find broken, and
only that: each case is a small tree of Markdown files and the links the
check must report in it."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'scripts'))
import check_doc_links  # noqa: E402

TARGET = '''# Target

## Limits and safety
## Reload (SIGHUP)
## A log of weighings (`--log FILE`)
## Tests
## Tests
## Данные порта
'''

# (name, text of docs/page.md, the broken targets the check must report)
CASES = [
    ('a file beside it', '[t](target.md)', []),
    ('a file up the tree', '[r](../README.md)', []),
    ('a folder', '[d](pictures/)', []),
    ('a picture', '![p](pictures/panel.png)', []),
    ('an anchor in another file', '[l](target.md#limits-and-safety)', []),
    ('punctuation and code dropped from the slug',
     '[r](target.md#reload-sighup) [w](target.md#a-log-of-weighings---log-file)', []),
    ('the second of two equal headings', '[t](target.md#tests-1)', []),
    ('a heading in Cyrillic', '[d](target.md#данные-порта)', []),
    ('a percent-encoded anchor', '[d](target.md#%D0%B4%D0%B0%D0%BD%D0%BD%D1%8B%D0%B5-%D0%BF%D0%BE%D1%80%D1%82%D0%B0)', []),
    ('an anchor in the same file', '# Page\n\n[p](#page)', []),
    ('a link over a line end', 'see [Limits\nand safety](target.md#limits-and-safety)', []),
    ('a web address is not followed', '[w](https://example.invalid/x.md#nothing)', []),
    ('a reference definition', '[ref]: target.md#tests', []),
    ('a link in a fenced block is no link', '```\n[x](missing.md)\n```', []),
    ('a link in an indented block is no link', 'text\n\n    [x](missing.md)\n', []),
    ('a link in a code span is no link', 'write `[x](missing.md)` here', []),
    ('a missing file', '[m](missing.md)', ['missing.md']),
    ('a missing picture', '![p](pictures/gone.png)', ['pictures/gone.png']),
    ('a missing anchor', '[l](target.md#limits)', ['target.md#limits']),
    ('one equal heading too many', '[t](target.md#tests-2)', ['target.md#tests-2']),
    ('a missing anchor in the same file', '# Page\n\n[p](#pages)', ['#pages']),
    ('an anchor into a picture', '[p](pictures/panel.png#top)', ['pictures/panel.png#top']),
    ('out of the source tree', '[o](../../outside.md)', ['../../outside.md']),
    ('an empty target', '[e]()', ['']),
    ('a broken reference definition', '[ref]: gone.md', ['gone.md']),
    ('only the broken one of a line',
     '[a](target.md) [b](target.md#nothing) [c](#nothing-here)', ['target.md#nothing', '#nothing-here']),
]


class DocLinks(unittest.TestCase):
    def test_cases(self):
        for name, text, broken in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as top:
                root = os.path.join(top, 'tree')
                os.makedirs(os.path.join(root, 'docs', 'pictures'))
                with open(os.path.join(root, 'README.md'), 'w') as f:
                    f.write('# Readme\n')
                with open(os.path.join(top, 'outside.md'), 'w') as f:  # exists, but not in the tree
                    f.write('# Outside\n')
                open(os.path.join(root, 'docs', 'pictures', 'panel.png'), 'wb').close()
                with open(os.path.join(root, 'docs', 'target.md'), 'w') as f:
                    f.write(TARGET)
                page = os.path.join(root, 'docs', 'page.md')
                with open(page, 'w') as f:
                    f.write(text + '\n')
                problems = check_doc_links.check(root, page)
                self.assertEqual([target for _, target, _ in problems], broken, problems)

    def test_exit_status(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, 'docs'))
            readme = os.path.join(root, 'README.md')
            with open(readme, 'w') as f:
                f.write('[d](docs/a.md#a)\n')
            with open(os.path.join(root, 'docs', 'a.md'), 'w') as f:
                f.write('# A\n[back](../README.md#readme)\n')
            self.assertEqual(check_doc_links.main(['check', root]), 1)  # README has no heading "Readme"
            with open(readme, 'w') as f:
                f.write('# Readme\n[d](docs/a.md#a)\n')
            self.assertEqual(check_doc_links.main(['check', root]), 0)
            self.assertEqual(check_doc_links.main(['check', root, os.path.join(root, 'none.md')]), 1)


if __name__ == '__main__':
    unittest.main()
