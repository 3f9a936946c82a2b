"""The one kind of failure the commands report to the user."""


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
