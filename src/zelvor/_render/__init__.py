"""Everything the package draws or writes for people: pictures, pages, text and JSON.

`Report` and `Sweep` keep the data and the figures; their output methods are one call into here.

- `plots`: matplotlib pictures (imported only when a picture is asked for); `zelvor.plotting`
  is their public face.
- `page`: self-contained HTML pages and the notebook views.
- `interactive`: the page's zoom-and-hover charts (bokeh, imported only when asked for).
- `text`: the one-line repr and the printed summaries.
- `data`: a report as JSON-ready data, and back.
- `format`: each figure's label and how its value is written.
"""
