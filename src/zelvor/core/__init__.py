"""Extension modules: ``trevane`` (backtest engine), ``quelmo`` (excursion recorder), ``tamsil`` (text)."""
