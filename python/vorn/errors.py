"""Failures the command reports in one line and the exit statuses it uses."""

EXIT_FAILURE = 1  # the run or an output failed
EXIT_USAGE = 2  # bad input: options, files, OpenQASM text
EXIT_INTERRUPTED = 130  # Ctrl-C, as a shell reports SIGINT


class CliError(Exception):
    """A failure shown as it is, without a traceback, ending the command with `status`."""

    def __init__(self, message, status=EXIT_USAGE, prefixed=True):
        super().__init__(message)
        self.message = message
        self.status = status
        # Messages carry the program's name in front unless they have their own form (the
        # reader's errors look like a compiler's).
        self.prefixed = prefixed

    def text(self):
        return f"vorn: {self.message}" if self.prefixed else self.message
