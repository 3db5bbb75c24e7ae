"""The `corvane` command: encode one ladder, check a ladder, run a batch on Dask.

The extension module `corvane` does the work; this package drives it from the
command line, each encode in a child process of its own.
"""

from importlib.metadata import version

__version__ = version("corvane")
