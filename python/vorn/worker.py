"""Running the simulation on a worker thread, so that the main thread stays free to see Ctrl-C
(the module's run() releases the interpreter lock while it simulates) and to show the time."""
import threading
import time

POLL_SECONDS = 0.2  # how often the main thread wakes: the indicator's refresh rate
SHOW_AFTER_SECONDS = 0.5  # short runs show nothing


class ElapsedIndicator:
    """One line on a terminal, rewritten in place, cleared at the end."""

    def __init__(self, stream, label):
        self.stream = stream
        self.label = label
        self.width = 0

    def update(self, seconds):
        text = f"{self.label}: running, {seconds:.1f} s"
        self.width = max(self.width, len(text))
        self.stream.write("\r" + text)
        self.stream.flush()

    def clear(self):
        if self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()


def call_in_worker(function, indicator=None):
    """function() on a daemon thread; returns its value or raises its exception. A
    KeyboardInterrupt reaches the caller at once, while the worker may still be running."""
    outcome = {}
    done = threading.Event()

    def work():
        try:
            outcome["value"] = function()
        # The module's abort derives from BaseException: everything goes back to the caller.
        except BaseException as e:
            outcome["error"] = e
        finally:
            done.set()

    threading.Thread(target=work, name="vorn-run", daemon=True).start()
    start = time.monotonic()
    try:
        while not done.wait(POLL_SECONDS):
            elapsed = time.monotonic() - start
            if indicator is not None and elapsed >= SHOW_AFTER_SECONDS:
                indicator.update(elapsed)
    finally:
        if indicator is not None:
            indicator.clear()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]
