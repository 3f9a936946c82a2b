"""The one kind of failure the commands report to the user, and the interrupt that
SIGTERM becomes."""

import signal


class ToolError(Exception):
    """A failure the user can act on: a bad argument, a file that cannot be read or
    written, a robot that cannot be built. Its text is one line; the command line
    prints it after "talvex <command>: error: " and exits with status 2."""

    def __init__(self, message):
        super().__init__(" ".join(str(message).split()))


def one_line(exc):
    """An exception's text on one line. Pinocchio's and coal's messages span several,
    naming the source file and function before "message:"; only what follows the last
    "message:" is kept."""
    text = str(exc).rsplit("message:", 1)[-1]
    return " ".join(text.split()) or type(exc).__name__


class Interrupted(KeyboardInterrupt):
    """Ctrl-C, or SIGTERM (what SLURM, containers and `timeout` send), unwinding a
    command as Ctrl-C does. note: what the one line adds after "interrupted" (a
    command that keeps its work says how to continue it)."""

    def __init__(self, signum=signal.SIGINT, note=""):
        super().__init__(note)
        self.signum, self.note = signum, note

    @property
    def status(self):
        return 128 + self.signum  # what a shell reports for a process that signal ended

    def with_note(self, note):
        return Interrupted(self.signum, note)


def interrupted_as(exc):
    """The Interrupted of a KeyboardInterrupt (Ctrl-C's own is SIGINT's)."""
    return exc if isinstance(exc, Interrupted) else Interrupted(signal.SIGINT)
