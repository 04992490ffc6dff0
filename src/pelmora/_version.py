"""The package's version, written once: the build reads it from here (pyproject.toml's
``metadata.version``)."""

__all__ = ["__version__"]

__version__ = "0.1.0"
