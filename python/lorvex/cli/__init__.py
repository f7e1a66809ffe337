"""The command line: python -m lorvex."""
