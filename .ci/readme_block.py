"""Prints the first ```python block under a heading of a Markdown file.

Usage: python readme_block.py README.md "In a notebook"
"""

from __future__ import annotations

import re
import sys
from pathlib import Path


def block_under(text: str, heading: str) -> str:
    lines = text.splitlines()
    starts = [
        i for i, line in enumerate(lines) if re.fullmatch(rf"#+\s+{re.escape(heading)}\s*", line)
    ]
    if not starts:
        raise SystemExit(f"readme_block: no heading {heading!r}")
    inside: list[str] | None = None
    for line in lines[starts[0] + 1 :]:
        if inside is None:
            if line.startswith("#"):
                break
            if line.strip() == "```python":
                inside = []
        elif line.strip() == "```":
            return "\n".join(inside) + "\n"
        else:
            inside.append(line)
    raise SystemExit(f"readme_block: no complete ```python block under {heading!r}")


if __name__ == "__main__":
    path, heading = sys.argv[1], sys.argv[2]
    sys.stdout.write(block_under(Path(path).read_text(encoding="utf-8"), heading))
