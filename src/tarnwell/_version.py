"""The installed package's version, for the files the command writes."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("tarnwell")
except PackageNotFoundError:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"
