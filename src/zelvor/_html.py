"""The sweep's page and notebook view, as the sweep module imports them (drawn in `zelvor._render.page`)."""

from zelvor._render.page import sweep_html, sweep_summary_html

__all__ = ["sweep_html", "sweep_summary_html"]
