"""The ``orrinth`` command line: show, summarise, compare and draw recorded runs.

Run it as ``orrinth COMMAND ...`` or ``python -m orrinth COMMAND ...``. The ``show`` code
needs only the standard library; ``summary`` uses ``rich`` (the ``cli`` extra) for its table
and progress bar.
"""

from __future__ import annotations

from orrinth.cli.main import main

__all__ = ["main"]
