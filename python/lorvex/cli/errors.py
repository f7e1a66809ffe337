"""The command line's one kind of expected failure: the user asked for something impossible."""


class UserError(Exception):
    """Printed as one line, `lorvex: <message>`, and the program exits with status 2."""
