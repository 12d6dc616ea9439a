"""A one-line bar on stderr for a file being written (rows, chunks), shown
only on a terminal and only once a run has lasted PROGRESS_AFTER seconds."""

import sys
import threading
import time

PROGRESS_AFTER = 2.0
WIDTH = 30


class Bar:
    """advance(n) of total units; close() ends the line if one was drawn."""

    def __init__(self, total, unit, visible=None):
        self.total, self.unit, self.done = max(1, int(total)), unit, 0
        self.visible = sys.stderr.isatty() if visible is None else visible
        self.started, self.drawn = time.monotonic(), False
        self.lock = threading.Lock()

    def advance(self, count=1):
        with self.lock:
            self.done = min(self.total, self.done + count)
            if self.visible and (self.drawn or time.monotonic() - self.started >= PROGRESS_AFTER):
                self.drawn = True
                filled = WIDTH * self.done // self.total
                sys.stderr.write("\r[{}{}] {}/{} {}, {:.0f} s".format(
                    "#" * filled, "." * (WIDTH - filled), self.done, self.total, self.unit,
                    time.monotonic() - self.started))
                sys.stderr.flush()

    def close(self):
        if self.drawn:
            sys.stderr.write("\n")
            sys.stderr.flush()


def counted(put, bar):
    """put(block), each block's rows counted on the bar."""
    def put_counted(block):
        put(block)
        bar.advance(block.shape[0])

    return put_counted
