"""Plots render under Agg; the HTML report is one file that references nothing outside itself."""

import html.parser

import pytest
from layer_fixtures import random_market, random_weights

import zelvor

try:
    import matplotlib
    import matplotlib.pyplot  # noqa: F401  (a matplotlib too new for the installed NumPy fails here)
except ImportError as exc:  # not only a missing module
    pytest.skip(f"matplotlib unusable here: {exc}", allow_module_level=True)
matplotlib.use("Agg")


@pytest.fixture(scope="module")
def report():
    market = random_market(300, 12, seed=21)
    weights = random_weights(market, 14, seed=22, shorts=True)
    return zelvor.backtest(weights, market, stop_loss=0.05, take_profit=0.1, benchmark="S3")


@pytest.mark.slow
def test_plots_return_figures_and_draw_into_a_given_axes(report):
    import matplotlib.pyplot as plt
    from matplotlib.figure import Figure

    for draw in (report.plot, report.plot_trades, report.plot_monthly):
        fig = draw()
        assert isinstance(fig, Figure) and fig.axes
        fig.canvas.draw()
        plt.close(fig)
        fig, ax = plt.subplots()
        assert draw(ax=ax) is fig
        assert ax.has_data() or ax.images
        plt.close(fig)


def test_plotting_without_matplotlib_names_the_extra(report, hide_package, tmp_path):
    hide_package("matplotlib")
    with pytest.raises(ImportError, match=r"pip install 'zelvor\[plot\]'"):
        report.plot()
    # The HTML report is still written, saying why it has no plots.
    path = tmp_path / "plain.html"
    report.to_html(path)
    text = path.read_text(encoding="utf-8")
    assert "No plots: plotting needs matplotlib" in text and "<img" not in text and "<table>" in text


class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags, self.refs = [], []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.refs += [(tag, k, v) for k, v in attrs if k in {"src", "href", "srcset", "data", "action"}]


@pytest.mark.slow
def test_html_report_is_self_contained(report, tmp_path):
    path = tmp_path / "report.html"
    report.to_html(path, title="A & B")
    text = path.read_text(encoding="utf-8")
    parser = Links()
    parser.feed(text)
    parser.close()
    # Equity, excursions, monthly, underwater, rolling figures, return distribution.
    assert parser.tags.count("img") == 6 and "table" in parser.tags
    assert all(v.startswith("data:image/png;base64,") for _, _, v in parser.refs), parser.refs
    assert "http://" not in text.replace("http://www.w3.org", "") and "https://" not in text
    assert "<title>A &amp; B</title>" in text
    for column in ("entry_price", "exit_price", "pnl", "exit_reason"):
        assert f">{column}</th>" in text
    assert "Next period" in text and "Sharpe" in text and "Beta" in text


def test_notebook_and_text_views(report):
    assert "<table>" in report._repr_html_()
    assert repr(report).startswith("<Report ") and f"{len(report.trades)} trades; " in repr(report)
    # The costs in force are in plain sight (here the defaults).
    assert "fee 0.1425 % per trade (buys and sells), tax 0.3 % on sales>" in repr(report)
