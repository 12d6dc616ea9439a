"""The `pictor` command line: `main` is its entry point."""

from pictor.cli.main import main

__all__ = ["main"]
