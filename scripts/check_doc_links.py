#!/usr/bin/env python3
"""Checks that every relative link and anchor in the documentation resolves.

    scripts/check_doc_links.py [ROOT] [FILE.md ...]

ROOT defaults to the source tree; the files default to README.md and every
Markdown file under docs/. A link resolves when its file (or folder) exists
inside ROOT and, for "#anchor", when the target Markdown file has a heading
whose slug, as the repository host renders it, is that anchor. Links with a
scheme (https:, mailto:) are not followed. Text in code blocks and code spans
is not a link. Prints each broken link as FILE:LINE: reason; exit status 1
when there is one, 0 otherwise.
"""
import os
import re
import sys
import urllib.parse

FENCE = re.compile(r'^\s{0,3}(```|~~~)')
HEADING = re.compile(r'^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$')
HTML_ANCHOR = re.compile(r'<a\s+(?:name|id)="([^"]+)"', re.IGNORECASE)
# [text](target) and ![alt](target); the text may run over a line end.
INLINE_LINK = re.compile(r'!?\[((?:[^\[\]]|\[[^\]]*\])*)\]\(\s*<?([^)\s>]*)>?(?:\s+"[^"]*")?\s*\)')
REFERENCE_DEF = re.compile(r'^\s{0,3}\[([^\]]+)\]:\s*<?(\S+?)>?(?:\s+"[^"]*")?\s*$')
CODE_SPAN = re.compile(r'(`+)(.+?)\1', re.DOTALL)
SCHEME = re.compile(r'^[A-Za-z][A-Za-z0-9+.-]*:')


def prose_lines(text):
    """The lines of TEXT with code blocks blanked, so line numbers stay."""
    out = []
    fence = None
    previous_blank = True
    in_indented = False
    for line in text.split('\n'):
        match = FENCE.match(line)
        if fence:
            if match and match.group(1) == fence:
                fence = None
            out.append('')
            continue
        if match:
            fence = match.group(1)
            out.append('')
            continue
        indented = line.startswith('    ') or line.startswith('\t')
        if indented and (previous_blank or in_indented):
            in_indented = True
            out.append('')
            continue
        in_indented = False if line.strip() else in_indented
        previous_blank = not line.strip()
        out.append(line)
    return out


def slug(heading):
    """The anchor a heading gets: inline markup dropped, lower case, letters,
    digits, '-' and '_' kept, each space a '-'."""
    text = re.sub(r'!?\[([^\]]*)\]\([^)]*\)', r'\1', heading)
    text = text.replace('`', '').lower()
    text = ''.join(c for c in text if c.isalnum() or c in ' -_')
    return text.replace(' ', '-')


def anchors(path, cache):
    """The anchors of the Markdown file PATH, read once per CACHE."""
    if path not in cache:
        with open(path, encoding='utf-8') as f:
            lines = prose_lines(f.read())
        found = set()
        seen = {}
        for line in lines:
            match = HEADING.match(line)
            if match:
                base = slug(match.group(2))
                count = seen.get(base, 0)
                seen[base] = count + 1
                found.add(base if count == 0 else f'{base}-{count}')
            found.update(HTML_ANCHOR.findall(line))
        cache[path] = found
    return cache[path]


def links(path):
    """(line number, target) of every link in the Markdown file PATH."""
    with open(path, encoding='utf-8') as f:
        lines = prose_lines(f.read())
    text = '\n'.join(lines)
    # A code span's text is no link; blank it but keep its line ends.
    text = CODE_SPAN.sub(lambda m: re.sub(r'[^\n]', ' ', m.group(0)), text)
    for match in INLINE_LINK.finditer(text):
        yield text.count('\n', 0, match.start(2)) + 1, match.group(2)
    for number, line in enumerate(text.split('\n'), 1):
        match = REFERENCE_DEF.match(line)
        if match:
            yield number, match.group(2)


def check(root, path, cache=None):
    """(line, target, reason) of every broken link in the file PATH."""
    cache = {} if cache is None else cache
    problems = []
    root = os.path.realpath(root)
    for number, target in links(path):
        if not target:
            problems.append((number, target, 'empty link target'))
            continue
        if SCHEME.match(target) or target.startswith('//'):
            continue
        file_part, _, anchor = (urllib.parse.unquote(part) for part in target.partition('#'))
        if file_part:
            resolved = os.path.realpath(os.path.join(os.path.dirname(path), file_part))
            if os.path.commonpath([root, resolved]) != root:
                problems.append((number, target, 'leaves the source tree'))
                continue
            if not os.path.exists(resolved):
                problems.append((number, target, 'no such file'))
                continue
        else:
            resolved = path
        if anchor:
            if not resolved.endswith('.md') or os.path.isdir(resolved):
                problems.append((number, target, 'an anchor into a file that is not Markdown'))
            elif anchor not in anchors(resolved, cache):
                problems.append((number, target, f'no heading with the anchor #{anchor}'))
    return problems


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')
    files = argv[2:]
    if not files:
        files = [os.path.join(root, 'README.md')]
        for folder, _, names in sorted(os.walk(os.path.join(root, 'docs'))):
            files += [os.path.join(folder, n) for n in sorted(names) if n.endswith('.md')]
    problems = []
    count = 0
    cache = {}
    for path in files:
        if not os.path.isfile(path):
            problems.append(f'{path}: no such document')
            continue
        count += 1
        where = os.path.relpath(path, root)
        problems += [f'{where}:{number}: {target}: {reason}' for number, target, reason in check(root, path, cache)]
    for problem in problems:
        print(problem)
    print(f'{count} document(s), {len(problems)} broken link(s)')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
