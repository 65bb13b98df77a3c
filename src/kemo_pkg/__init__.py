"""Vibration and rotating-machinery condition monitoring; the numerics live in `kemo_pkg.core_math`."""

from importlib.metadata import version

# The git tag's, as the build read it (setuptools-scm).
__version__ = version("kemo_pkg")

__all__ = ["__version__"]
