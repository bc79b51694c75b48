"""The interactive examples of the user guide run and print what the pages say.

Every ``pycon`` block of a guide page is a doctest against the installed
package, so a page cannot drift from the code it documents.
"""

from __future__ import annotations

import doctest
import re
from pathlib import Path

import pytest

GUIDE = Path(__file__).resolve().parent.parent / "docs" / "user_guide"
PAGES = sorted(GUIDE.glob("*.md"))
BLOCK = re.compile(r"^```pycon\n(.*?)^```", re.MULTILINE | re.DOTALL)


def _pycon(path: Path) -> str:
    return "\n".join(m.group(1) for m in BLOCK.finditer(path.read_text(encoding="utf-8")))


@pytest.mark.parametrize("page", [p for p in PAGES if _pycon(p)], ids=lambda p: p.name)
def test_guide_examples(page: Path) -> None:
    needs = {"xarray": "xarray", "units": "pint", "distributed": "distributed"}
    for stem, module in needs.items():
        if page.stem == stem:
            pytest.importorskip(module)
    test = doctest.DocTestParser().get_doctest(_pycon(page), {}, page.name, str(page), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    failures: list[str] = []
    runner.run(test, out=failures.append)
    assert runner.failures == 0, "".join(failures)
    assert runner.tries > 0
