"""Vibration and rotating-machinery condition monitoring; the numerics live in `kemo_pkg.core_math`."""
