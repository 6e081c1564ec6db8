"""The browser tests' fakes now live in `fakes`; this name stays only for the
test modules that still import it, and goes with the last of them."""

from fakes import *  # noqa: F401,F403
