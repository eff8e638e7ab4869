"""Placeholder until the command is built."""
from .errors import RigError


def add_arguments(parser):
    pass


def run(args):
    raise RigError("this command is not built yet")
