"""Native core: the backtest engine `runvane` and the excursion analysis `swaylen`."""
