"""The README's examples run and print what the README shows."""

import doctest
import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    readme = README.read_text(encoding="utf-8")  # not the locale's: cp1252 on Windows
    blocks = re.findall(r"^```python\n(.*?)^```", readme, flags=re.S | re.M)
    text = "\n".join(blocks)
    test = doctest.DocTestParser().get_doctest(text, {}, "README.md", str(README), 0)
    assert len(test.examples) >= 10
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.failed == 0
