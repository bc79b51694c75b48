"""Render the site's math to inline SVG at build time, with matplotlib's mathtext.

The pages then show their formulas without JavaScript or a network
connection (a MathJax site shows raw TeX when opened offline, as built docs
often are), and without a LaTeX installation. mathtext reads a subset of
TeX; an expression it cannot parse is a build warning, so with ``-W`` the
build fails and names it.
"""

from __future__ import annotations

import io
import re
from functools import cache

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util import logging

logger = logging.getLogger(__name__)

FONT_SIZE_PT = 12.0  # body text of the theme is 16 px = 12 pt
_SVG_OPEN = re.compile(r"^.*?(<svg\b)", re.DOTALL)
_METADATA = re.compile(r"\s*<metadata>.*?</metadata>", re.DOTALL)
_SIZE = re.compile(r'(width|height)="([\d.]+)pt"')


@cache
def render(latex: str) -> tuple[str, float]:
    """The SVG of one expression and its depth below the baseline, in points."""
    from matplotlib import mathtext
    from matplotlib.font_manager import FontProperties

    buffer = io.StringIO()
    depth = mathtext.math_to_image(
        f"${latex}$", buffer, prop=FontProperties(size=FONT_SIZE_PT), dpi=72, format="svg"
    )
    svg = _SVG_OPEN.sub(r"\1", buffer.getvalue())  # drop the XML prologue and doctype
    svg = _METADATA.sub("", svg).strip()
    # Sizes in em, so formulas follow the text when the reader zooms or the theme changes.
    svg = _SIZE.sub(lambda m: f'{m[1]}="{float(m[2]) / FONT_SIZE_PT:.3f}em"', svg, count=2)
    return svg, depth


def _render_or_warn(node: nodes.Node, latex: str) -> tuple[str, float] | None:
    try:
        return render(latex.strip())
    except ValueError as err:  # mathtext's parse errors
        logger.warning("math not rendered by mathtext: %r (%s)", latex, err, location=node)
        return None


def visit_inline(self, node: nodes.math) -> None:
    latex = node.astext()
    rendered = _render_or_warn(node, latex)
    if rendered is None:
        raise nodes.SkipNode
    svg, depth = rendered
    # mathtext pads the image by 1 pt on every side, the bottom included.
    style = f"vertical-align: {-(depth - 1.0) / FONT_SIZE_PT:.3f}em"
    self.body.append(f'<span class="mathtext" style="{style}" title="{_attr(latex)}">')
    self.body.append(svg + "</span>")
    raise nodes.SkipNode


def visit_block(self, node: nodes.math_block) -> None:
    latex = node.astext()
    self.body.append(self.starttag(node, "div", CLASS="mathtext-block"))
    # A display block may hold several equations, one per paragraph.
    for part in (p for p in re.split(r"\n\s*\n", latex) if p.strip()):
        # Display style: mathtext sets \frac in text size, which is too small on its own line.
        display = re.sub(r"\\frac(?![a-z])", r"\\dfrac", " ".join(part.split()))
        rendered = _render_or_warn(node, display)
        if rendered is not None:
            self.body.append(f'<div title="{_attr(part.strip())}">{rendered[0]}</div>')
    self.body.append("</div>\n")
    raise nodes.SkipNode


def _attr(text: str) -> str:
    return (
        text.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;")
    )


def setup(app: Sphinx) -> dict[str, object]:
    app.add_html_math_renderer("mathtext", (visit_inline, None), (visit_block, None))
    return {"parallel_read_safe": True, "parallel_write_safe": True}
