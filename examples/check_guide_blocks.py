#!/usr/bin/env python3
"""Every ```cpp block of the given Markdown files must appear, line for line, in one example.

Leading whitespace is ignored on both sides, so a block may show code that sits indented inside
main(). Usage: check_guide_blocks.py EXAMPLES_DIR FILE.md...
"""
import pathlib
import re
import sys


def lines(text):
    return [line.strip() for line in text.splitlines()]


def contains(haystack, needle):
    n = len(needle)
    return any(haystack[i:i + n] == needle for i in range(len(haystack) - n + 1))


def main():
    examples = {p.name: lines(p.read_text()) for p in pathlib.Path(sys.argv[1]).glob("*.cpp")}
    failures = 0
    blocks = 0
    for md in sys.argv[2:]:
        for match in re.finditer(r"```cpp\n(.*?)```", pathlib.Path(md).read_text(), re.S):
            block = [line for line in lines(match.group(1)) if line]
            blocks += 1
            if not any(contains([l for l in ex if l], block) for ex in examples.values()):
                failures += 1
                print(f"{md}: this block is in no example:\n{match.group(1)}")
    if blocks == 0:
        print("no ```cpp block found")
        return 1
    print(f"{blocks} blocks checked, {failures} not found")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
