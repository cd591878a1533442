#!/usr/bin/env python3
"""The documents' example runner passes an example that does what its text
shows and fails one that drifted: each case is a small document with one
marked block, run by the runner itself (commands of the shell only, no
build needed)."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'scripts'))
import run_doc_examples  # noqa: E402

# (name, the document, whether its block must pass)
CASES = [
    ('a transcript whose output matches', '<!-- run -->\n\n    $ echo hello\n    hello\n', True),
    ('a changed message', '<!-- run -->\n\n    $ echo hello world\n    hello\n', False),
    ('a line the document lacks', '<!-- run -->\n\n    $ printf "a\\nb\\n"\n    a\n', False),
    ('a fenced transcript', '<!-- run -->\n```\n$ echo fenced\nfenced\n```\n', True),
    ('standard error among the output, in order',
     '<!-- run -->\n\n    $ echo one; echo two >&2; echo "exit 3"\n    one\n    two\n    exit 3\n', True),
    ('"..." stands for any lines', '<!-- run -->\n\n    $ seq 5\n    1\n    ...\n    5\n', True),
    ('a line ending in "..." stands for one line that begins so',
     '<!-- run -->\n\n    $ echo "topic {\\"a\\":1}"\n    topic {"a"...\n', True),
    ('a line ending in "..." that begins otherwise', '<!-- run -->\n\n    $ echo "topic {}"\n    topic [...\n', False),
    ('times and t_ms are masked',
     '<!-- run -->\n\n    $ date -u +%Y-%m-%dT%H:%M:%S.123Z\n    2026-12-08T00:38:35.345Z\n', True),
    ('JSON keys in any order, time keys masked',
     '<!-- run -->\n\n    $ echo \'{"b":2,"t_ms":9,"a":"x"}\'\n    {"t_ms":817,"a":"x","b":2}\n', True),
    ('a JSON value that changed', '<!-- run -->\n\n    $ echo \'{"a":"y"}\'\n    {"a":"x"}\n', False),
    ('a command continued over a line',
     '<!-- run -->\n\n    $ echo one \\\n         two\n    one two\n', True),
    ('no output shown: only that it runs', '<!-- run -->\n\n    $ echo anything\n', True),
    ('an export holds for the next command', '<!-- run -->\n\n    $ export X=7\n    $ echo $X\n    7\n', True),
    ('a list of commands that succeed', '<!-- run -->\n\n    true\n    echo fine > f.txt\n    grep -q fine f.txt\n', True),
    ('a command that fails', '<!-- run -->\n\n    true\n    false\n', False),
    ('a program that runs until interrupted', '<!-- run: for=0.5 -->\n\n    sleep 30\n', True),
    ('one that fails before the interrupt', '<!-- run: for=5 -->\n\n    exit 3\n', False),
    ('a command over its time', '<!-- run: timeout=0.5 -->\n\n    sleep 30\n', False),
    ('a path that names no device',
     '<!-- run: absent=/dev/ttyUSB9 -->\n\n    $ test -e /dev/ttyUSB9 || echo "no /dev/ttyUSB9"\n    no /dev/ttyUSB9\n', True),
    ('a fixed path of the block\'s own',
     '<!-- run: private=/tmp/scale -->\n\n    $ touch /tmp/scale; ls /tmp/scale\n    /tmp/scale\n', True),
    ('an unmarked block is not run', '    false\n\n<!-- run -->\n\n    true\n', True),
    ('a marker shown inside a block is no marker',
     '    <!-- run -->\n\n    false\n\n```\n<!-- run -->\n```\n\n    false\n\n<!-- run -->\n\n    true\n', True),
]


class Runner(unittest.TestCase):
    def document(self, text):
        folder = tempfile.mkdtemp(prefix='orva-doc-examples-test-')
        self.addCleanup(lambda: __import__('shutil').rmtree(folder, ignore_errors=True))
        path = os.path.join(folder, 'page.md')
        with open(path, 'w') as f:
            f.write('# Page\n\n' + text)
        return folder, path

    def test_examples_that_match_pass_and_drifted_ones_fail(self):
        for name, text, passes in CASES:
            with self.subTest(name):
                folder, path = self.document(text)
                blocks = run_doc_examples.marked_blocks(path)
                self.assertEqual(len(blocks), 1)
                report = run_doc_examples.Runner(folder, folder).run(blocks[0])
                self.assertEqual(report is None, passes, report)

    def test_markers_it_cannot_follow_are_refused(self):
        for text in ('<!-- run: colour=red -->\n\n    true\n', '<!-- run: for=soon -->\n\n    true\n',
                     '<!-- run: login=nopassword -->\n\n    true\n',
                     '<!-- run -->\n\nno block here\n'):
            with self.subTest(text):
                _, path = self.document(text)
                with self.assertRaises(run_doc_examples.MarkerError):
                    run_doc_examples.marked_blocks(path)


if __name__ == '__main__':
    unittest.main()
