"""The README and the guide in docs/: every code block runs as printed, or says why it cannot."""
import os
import re
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^\s*```(\S*)\s*$")  # indented ones too (inside a list item)
# Written on the line above a block: why it cannot run here, or the file it is (saved, then run).
MARK = re.compile(r"^<!-- (not run|file): (.*?) -->$")
LINK = re.compile(r"\]\(([^)#\s]*)(?:#([^)\s]*))?\)")
RUN, SHOWN = ("python", "sh"), ("text",)
TIMEOUT = 900  # a safety net only: the longest block takes well under a minute


@dataclass
class Block:
    page: Path
    line: int
    language: str
    code: str
    mark: Optional[tuple]

    @property
    def id(self):
        return f"{self.page.relative_to(ROOT)}:{self.line}"


def read_blocks(page):
    lines, blocks, k = page.read_text(encoding="utf-8").splitlines(), [], 0
    while k < len(lines):
        opening = FENCE.match(lines[k])
        if not opening:
            k += 1
            continue
        end = next((j for j in range(k + 1, len(lines)) if lines[j].strip() == "```"), None)
        assert end is not None, f"{page.name}:{k + 1}: a block that is never closed"
        above = next((lines[j].strip() for j in range(k - 1, -1, -1) if lines[j].strip()), "")
        mark = MARK.match(above)
        code = textwrap.dedent("\n".join(lines[k + 1:end]) + "\n")
        blocks.append(Block(page, k + 1, opening.group(1), code, mark.groups() if mark else None))
        k = end + 1
    return blocks


BLOCKS = [block for page in PAGES for block in read_blocks(page)]
RUNNABLE = [b for b in BLOCKS if b.language in RUN and (b.mark is None or b.mark[0] == "file")]


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: b.id)
def test_every_block_is_run_or_says_why(block):
    assert block.language in RUN + SHOWN, (
        f"{block.id}: language {block.language!r}; a block is {', '.join(RUN)} (run) or text (shown)")
    if block.mark is None:
        return
    kind, value = block.mark
    assert block.language in RUN, f"{block.id}: a {block.language} block is never run; {kind!r} says nothing"
    assert value.strip(), f"{block.id}: '{kind}:' without a reason or a name"
    if kind == "file":
        assert block.language == "python" and re.fullmatch(r"[\w-]+\.py", value), (
            f"{block.id}: 'file: {value}' names no Python file")


def test_front_page_lists_every_chapter():
    listed = {target for target, _ in LINK.findall((ROOT / "README.md").read_text(encoding="utf-8"))
              if target.startswith("docs/") and target.endswith(".md")}
    chapters = {f"docs/{page.name}" for page in PAGES[1:]}
    assert listed == chapters, f"listed but missing: {sorted(listed - chapters)}; unlisted: {sorted(chapters - listed)}"


def anchors(page):
    """The anchors a page's headings get, as the Markdown viewers make them."""
    return {re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
            for line in page.read_text(encoding="utf-8").splitlines() if line.startswith("#")}


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_links_lead_to_files_and_headings(page):
    broken = []
    for target, anchor in LINK.findall(page.read_text(encoding="utf-8")):
        if "://" in target:
            continue
        path = (page.parent / target) if target else page
        if not path.exists() or (anchor and anchor not in anchors(path)):
            broken.append(f"{target}#{anchor}" if anchor else target)
    assert not broken, f"{page.name}: links to nothing: {broken}"


@pytest.fixture(scope="module")
def chapter_dirs(tmp_path_factory):
    """One folder per page, shared by its blocks in order, as a reader working through it."""
    made = {}

    def folder(page):
        if page not in made:
            made[page] = tmp_path_factory.mktemp(page.stem)
            (made[page] / "data").mkdir()
            # The commands are written from the repository's root, where examples/ stands.
            (made[page] / "examples").symlink_to(ROOT / "examples")
        return made[page]
    return folder


@pytest.mark.parametrize("block", RUNNABLE, ids=lambda b: b.id)
def test_block_runs_as_printed(block, chapter_dirs):
    folder = chapter_dirs(block.page)
    env = dict(os.environ, TZ="Asia/Taipei", ORVA_DATA_DIR=str(folder / "data"),
               PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}")
    env.pop("ORVA_CONSOLE", None)
    if block.language == "sh":
        command = ["bash", "-e", "-o", "pipefail", "-c", block.code]
    elif block.mark is not None:  # a file of the chapter: saved, then run as a script
        (folder / block.mark[1]).write_text(block.code, encoding="utf-8")
        command = [sys.executable, block.mark[1]]
    else:
        command = [sys.executable, "-c", block.code]
    done = subprocess.run(command, cwd=folder, env=env, capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, (
        f"{block.id} exited with {done.returncode}\n--- stdout\n{done.stdout[-3000:]}\n--- stderr\n{done.stderr[-3000:]}")
