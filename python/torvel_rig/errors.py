"""Failures a person can act on."""


class RigError(Exception):
    """One line for a person: what is wrong, with which file or option, and what to do.
    The command line prints it as "torvel-rig: <message>" and exits with status 2."""
