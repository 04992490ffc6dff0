"""Native core: the backtest engine `runvane`, the excursion analysis `swaylen` and the run journal `journal`."""
