"""The talvex command: a root that picks a subcommand, imports only that one, and is
the one place where failures become one line on stderr.

    talvex COMMAND [options]      (talvex --help lists the commands)

Exit status: 0 on success, 2 on a failure the user can act on (one line,
"talvex COMMAND: error: ..."), 130 on Ctrl-C (one line, "talvex COMMAND: interrupted")
and 143 on SIGTERM, which unwinds the command exactly as Ctrl-C does (one line,
"talvex COMMAND: interrupted by SIGTERM").
"""

import argparse
import importlib
import os
import signal
import sys

from talvex_tools.errors import Interrupted, ToolError, interrupted_as, one_line

# Imported lazily: a command's dependencies are paid only when it runs.
COMMANDS = {
    "inspect": "talvex_tools.commands.inspect",
    "srdf": "talvex_tools.commands.srdf",
    "label": "talvex_tools.commands.label",
    "cspace": "talvex_tools.commands.cspace",
    "pairs": "talvex_tools.commands.pairs",
}
# Import name -> what pip installs it from, where the two differ.
DISTRIBUTIONS = {"pinocchio": "pin"}
INSTALL = "pip install 'talvex[tools]'"


class Parser(argparse.ArgumentParser):
    """argparse prints the whole usage block on an error; one line says what is wrong."""

    def error(self, message):
        raise ToolError(message)


def command_parser(name, module):
    doc = (module.__doc__ or "").strip()
    parser = Parser(
        prog=f"talvex {name}",
        description=doc or module.SUMMARY,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    module.add_arguments(parser)
    parser.set_defaults(command=name)
    return parser


def load(name):
    """The module of a command; a ToolError when this installation lacks it."""
    path = COMMANDS[name]
    try:
        return importlib.import_module(path)
    except ModuleNotFoundError as exc:
        if exc.name is not None and path.startswith(exc.name):
            raise ToolError(f"{name} is not available in this installation of talvex") from None
        raise


def check_requires(name, module):
    """Import each optional dependency before any work, so that a missing one is one
    line with the install command rather than a traceback halfway through."""
    for package in getattr(module, "REQUIRES", ()):
        try:
            importlib.import_module(package)
        except ImportError:
            raise ToolError(
                f"{name} needs {DISTRIBUTIONS.get(package, package)}: {INSTALL}") from None


def root_help():
    lines = [
        "usage: talvex COMMAND [options]",
        "",
        "Tools around talvex, a kinematic and self-collision model of one robot.",
        "",
        "commands:",
    ]
    width = max(map(len, COMMANDS))
    for name in COMMANDS:
        try:
            summary = load(name).SUMMARY
        except (ToolError, ImportError):
            summary = "(not available in this installation)"
        lines.append(f"  {name:<{width}}  {summary}")
    lines += ["", "talvex COMMAND --help shows a command's options.",
              f"Their dependencies: {INSTALL}"]
    return "\n".join(lines)


def dispatch(argv):
    if not argv or argv[0] in ("-h", "--help"):
        print(root_help(), file=sys.stdout if argv else sys.stderr)
        return 0 if argv else 2
    if argv[0] == "--version":
        from talvex_tools import __version__

        print(f"talvex {__version__}")
        return 0
    name, rest = argv[0], argv[1:]
    if name not in COMMANDS:
        raise ToolError(f"unknown command {name!r} (choose from {', '.join(COMMANDS)})")
    module = load(name)
    options = rest[: rest.index("--")] if "--" in rest else rest
    if not ("-h" in options or "--help" in options):
        check_requires(name, module)
    args = command_parser(name, module).parse_args(rest)
    args.argv = rest  # as typed: a command that can be continued repeats it
    return module.run(args)


def _terminate(signum, frame):
    raise Interrupted(signum)


def interrupt_line(prog, stop):
    by = "" if stop.signum == signal.SIGINT else f" by {signal.Signals(stop.signum).name}"
    return f"{prog}: interrupted{by}" + (f"; {stop.note}" if stop.note else "")


def main(argv=None):
    """Run the talvex command line; returns the exit status."""
    process = argv is None
    argv = sys.argv[1:] if argv is None else list(argv)
    prog = "talvex" if not argv or argv[0] not in COMMANDS else f"talvex {argv[0]}"
    if process:
        # SLURM, containers and `timeout` stop a job with SIGTERM: it unwinds the
        # command as Ctrl-C does, so that the same clean-up runs.
        signal.signal(signal.SIGTERM, _terminate)
    try:
        return dispatch(argv)
    except ToolError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
    except MemoryError:
        print(f"{prog}: error: out of memory", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader of stdout went away (talvex inspect | head): nothing left to say.
        if process:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt as exc:
        stop = interrupted_as(exc)
        if process:
            # A second signal during the exit must not print a traceback either.
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
        print(interrupt_line(prog, stop), file=sys.stderr)
        if process:
            # The commands clean up as the interrupt unwinds them; what is left are
            # worker threads that the interpreter would wait for at exit.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(stop.status)
        return stop.status
    except (RuntimeError, ValueError) as exc:
        # Raised by the libraries on a robot that did load (a query they refuse).
        print(f"{prog}: error: {one_line(exc)}", file=sys.stderr)
        return 2
