"""The subcommands of talvex, one module each: SUMMARY, REQUIRES, add_arguments(), run().

A module imports its optional dependencies (REQUIRES) inside run() or below it, never
at its top, so that --help works without them."""
