"""A one-line bar on stderr for a file being written (rows, chunks), shown
only on a terminal and only once a run has lasted PROGRESS_AFTER seconds;
redrawn at least every TICK seconds from then on, so that a pass that
advances nothing (a whole-image statistic first) still shows the time."""

import sys
import threading
import time

PROGRESS_AFTER = 2.0
TICK = 1.0
WIDTH = 30


class Bar:
    """advance(n) of total units; close() ends the line if one was drawn."""

    def __init__(self, total, unit, visible=None):
        self.total, self.unit, self.done = max(1, int(total)), unit, 0
        self.visible = sys.stderr.isatty() if visible is None else visible
        self.started, self.drawn_at = time.monotonic(), None
        self.lock = threading.Lock()
        self.closed = threading.Event()
        if self.visible:
            threading.Thread(target=self._tick, name="pictor-progress", daemon=True).start()

    def _tick(self):
        while not self.closed.wait(TICK):
            with self.lock:
                if not self.closed.is_set() and (self.drawn_at is None or
                                                 time.monotonic() - self.drawn_at >= TICK):
                    self._draw()

    def advance(self, count=1):
        with self.lock:
            self.done = min(self.total, self.done + count)
            self._draw()

    def _draw(self):
        now = time.monotonic()
        if not self.visible or (self.drawn_at is None and now - self.started < PROGRESS_AFTER):
            return
        self.drawn_at = now
        filled = WIDTH * self.done // self.total
        sys.stderr.write("\r[{}{}] {}/{} {}, {:.0f} s".format(
            "#" * filled, "." * (WIDTH - filled), self.done, self.total, self.unit, now - self.started))
        sys.stderr.flush()

    def close(self):
        with self.lock:
            self.closed.set()
            if self.drawn_at is not None:
                sys.stderr.write("\n")
                sys.stderr.flush()


def counted(put, bar):
    """put(block), each block's rows counted on the bar."""
    def put_counted(block):
        put(block)
        bar.advance(block.shape[0])

    return put_counted
