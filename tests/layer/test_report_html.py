"""The report page: its sections, the trades table's sorting and filtering hooks, what a cell
says when a price is missing, no margins above the plots, and the interactive page."""

import base64
import io
import re

import numpy as np
import pytest
from layer_fixtures import random_market, random_weights

import zelvor
from zelvor._render import page as render_page

try:
    import matplotlib
    import matplotlib.image
    import matplotlib.pyplot  # noqa: F401
except Exception as exc:  # a matplotlib too new for the installed NumPy fails here
    pytest.skip(f"matplotlib unusable here: {exc}", allow_module_level=True)
matplotlib.use("Agg")

SECTIONS = ["statistics", "benchmark", "equity", "excursions", "monthly", "drawdowns", "rolling", "distribution",
            "trades-section", "next-period"]  # fmt: skip


@pytest.fixture(scope="module")
def report():
    # S1 is listed late (no price for the first third of the rows), so the weights hold it
    # before it has a price: those trades have no entry price.
    market = random_market(300, 5, 21, gaps=0.0)
    weights = random_weights(market, 12, 22, shorts=False)
    weights = weights.div(weights.abs().sum(axis=1).clip(lower=1.0), axis=0)
    return zelvor.backtest(weights, market, stop_loss=0.05, take_profit=0.15, benchmark="S0")


@pytest.fixture(scope="module")
def page(report):
    return render_page.report_html(report, title="T")


@pytest.mark.slow
def test_every_section_once(page, report):
    for section in SECTIONS:
        assert page.count(f'id="{section}"') == 1, section
    assert page.count("Monthly returns</h2>") == 1
    # The benchmark's figures beside the strategy's, formatted as the statistics are.
    frame = report.stats(compare=True)
    assert f"<td>{frame.loc['cagr', 'benchmark']:+.2%}</td>" in page and "<th>S0</th>" in page


def test_a_plot_title_repeating_its_heading_is_dropped(report, monkeypatch):
    titles = []
    monkeypatch.setattr(
        render_page, "_png", lambda fig, alt: titles.append([a.get_title(loc="left") for a in fig.axes])
    )
    render_page._figure("Monthly returns", report.plot_monthly)
    assert titles == [[""]]


@pytest.mark.slow
def test_no_white_band_above_the_plots(page):
    images = re.findall(r'src="data:image/png;base64,([^"]+)"', page)
    assert len(images) == 6
    for data in images:
        pixels = matplotlib.image.imread(io.BytesIO(base64.b64decode(data)), format="png")
        white = (pixels[:, :, :3] > 0.99).all(axis=(1, 2))
        assert int(np.argmin(white)) <= 12  # the first row with something drawn


@pytest.mark.slow
def test_trades_table_sorts_filters_and_says_why_a_price_is_missing(page, report):
    assert '<table class="sortable" id="trades">' in page
    assert 'id="trade-filter"' in page and 'id="trade-reason"' in page and "addEventListener('click'" in page
    trades = report.trades
    missing = int(trades["entry_price"].isna().sum())
    assert missing > 0
    assert page.count('title="entered on a row without a trading price') == missing
    # No blank cell in the table: each says why it has no value.
    table = page.split('id="trades">')[1].split("</table>")[0]
    assert "></td>" not in table
    unmeasured = int(trades[["mae", "mfe", "bmfe", "mdd", "profit_rows", "trade_return"]].isna().sum().sum())
    assert unmeasured > 0 and table.count('title="no closing price while the trade was held') == unmeasured
    # Sort keys: dates as nanoseconds, numbers in full, so a click sorts by value, not by text.
    first = trades.iloc[0]
    assert f'data-v="{first["entry_date"].value}"' in page and f'data-v="{float(first["pnl"])!r}"' in page
    for reason in set(trades["exit_reason"].astype(str)):
        assert f'<option value="{reason}">' in page


@pytest.mark.slow
def test_interactive_page_inlines_bokeh(report, tmp_path):
    pytest.importorskip("bokeh")
    path = tmp_path / "i.html"
    report.to_html(path, interactive=True)
    text = path.read_text(encoding="utf-8")
    assert 'id="interactive"' in text and "Bokeh" in text and 'id="equity"' not in text
    assert re.search(r"<script[^>]+src=", text) is None and "<link" not in text  # nothing fetched
    assert len(text) < 4_000_000


@pytest.mark.slow
def test_interactive_without_bokeh_names_the_extra(report, tmp_path, hide_package):
    hide_package("bokeh")
    with pytest.raises(ImportError, match=r"pip install 'zelvor\[interactive\]'"):
        report.to_html(tmp_path / "x.html", interactive=True)
    report.to_html(tmp_path / "static.html")  # the static page needs no bokeh
    assert 'id="trades"' in (tmp_path / "static.html").read_text(encoding="utf-8")
