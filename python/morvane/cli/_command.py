"""A subcommand of `morvane`, as build_parser registers it."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from dataclasses import dataclass

__all__ = ["Command"]


@dataclass(frozen=True)
class Command:
    """A subcommand as the parser registers it: its name, the one line the command list shows,
    the description its --help shows, the options it adds and the function that runs it."""

    name: str
    help: str
    description: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]
