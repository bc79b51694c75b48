"""The README's examples run and print what the README shows."""

import doctest
import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.S | re.M)
    text = "\n".join(blocks)
    test = doctest.DocTestParser().get_doctest(text, {}, "README.md", str(README), 0)
    assert len(test.examples) >= 10
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.failed == 0
