"""The example lines of docs/protocol.md.

Examples sit in fenced code blocks: "→ " starts a line the parent wrote,
"← " a line the sidecar wrote; "→ <bytes C3 28>" stands for raw bytes that
are not text. A block right after the comment "<!-- replay -->" is a whole
session whose answers are fixed texts: run again, the sidecar must write
exactly its "← " lines.
"""

import dataclasses
import pathlib

from sidecar_process import REPO_ROOT

PROTOCOL_MD = REPO_ROOT / "docs" / "protocol.md"
SENT = "→ "
RECEIVED = "← "
REPLAY_MARK = "<!-- replay -->"


@dataclasses.dataclass
class ExampleLine:
    number: int  # line number in protocol.md
    direction: str  # SENT or RECEIVED
    text: str  # the line without its arrow

    def raw(self):
        """The bytes the line stands for (without a line feed)."""
        if self.text.startswith("<bytes ") and self.text.endswith(">"):
            return bytes.fromhex(self.text[len("<bytes ") : -1])
        return self.text.encode()


@dataclasses.dataclass
class ExampleBlock:
    number: int
    replay: bool
    lines: list


def example_blocks(path=PROTOCOL_MD):
    blocks = []
    fence = None
    previous = ""
    for number, line in enumerate(pathlib.Path(path).read_text(encoding="utf-8").splitlines(), start=1):
        if line.startswith("```"):
            if fence is None:
                fence = ExampleBlock(number, previous.strip() == REPLAY_MARK, [])
            else:
                blocks.append(fence)
                fence = None
            continue
        if fence is not None:
            for arrow in (SENT, RECEIVED):
                if line.startswith(arrow):
                    fence.lines.append(ExampleLine(number, arrow, line[len(arrow) :]))
                    break
            else:
                if line.lstrip().startswith(("{", "[")):
                    raise ValueError(f"protocol.md:{number}: a JSON line without its arrow")
        if line.strip():
            previous = line
    assert fence is None, "an unclosed code block"
    return blocks


def example_lines(direction):
    return [line for block in example_blocks() for line in block.lines if line.direction == direction]


def key_tables(heading, path=PROTOCOL_MD):
    """The keys of each table under one heading of protocol.md, in table
    order: the first cell of a row that is a key in backticks, or the second
    when the first is a row number."""
    tables = []
    inside = False
    current = None
    for line in pathlib.Path(path).read_text(encoding="utf-8").splitlines():
        if line.startswith("#"):
            inside = line.strip() == heading
            continue
        if not inside:
            continue
        if not line.startswith("|"):
            current = None
            continue
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if current is None:
            current = []
            tables.append(current)
            continue  # the header row
        if cells[0].isdigit():
            cells = cells[1:]
        if cells[0].startswith("`") and cells[0].endswith("`"):
            current.append(cells[0].strip("`"))
    return [table for table in tables if table]
