"""Finite-source point-lens microlensing magnification, implemented in native code.

Separations (`l`, the ring radius `r`, the table radii `bl`) are in units of
the source radius; the Einstein radius `re` and the source radius `rstar`
share any one length unit, so rho = rstar / re.  Sequence arguments take any
sequence of numbers; one-dimensional float64 arrays are read directly.

The fitting functions magnification and light_curve, with their exact
gradients magnification_and_gradient and light_curve_and_gradient, beside
them and not in __all__, take separations and source radii in Einstein
radii, any numpy array-likes, and return float64 arrays.
"""

from collections.abc import Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

__all__ = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "multi_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

_Number: TypeAlias = SupportsFloat | SupportsIndex

class _Numbers(Protocol):
    """A sequence of numbers: a list, tuple, range, numpy array, array.array..."""
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Number: ...

def witt_mao_magnification(l: _Numbers, re: _Number, rstar: _Number) -> list[float]:
    """Magnification of a uniformly bright disc at each separation of `l`."""

def integrated_witt_mao_magnification(l: _Numbers, re: _Number, rstar: _Number) -> list[float]:
    """Magnification of a linearly limb-darkened disc (coefficient 0.6) at each
    separation, integrated over the source radius from uniform discs."""

def integrated_flux_map_witt_mao_magnification(
    l: _Numbers, re: _Number, rstar: _Number, bl: _Numbers, bf: _Numbers
) -> list[float]:
    """Magnification of a source whose brightness is the piecewise-linear
    profile through the radii `bl` and brightnesses `bf`, from discs."""

def multi_witt_mao_magnification(
    l: _Numbers, re: _Numbers, rstar: _Numbers
) -> list[list[float]]:
    """One uniform-disc curve over `l` for every pair of an Einstein radius
    from `re` and a source radius from `rstar` (`re` slowest), in parallel."""

def heyrovsky_magnification(l: _Number, r: _Number, re: _Number, rstar: _Number) -> float:
    """Magnification of a thin ring of radius `r` centred at separation `l`."""

def integrated_heyrovsky_magnification(l: _Numbers, re: _Number, rstar: _Number) -> list[float]:
    """Magnification of a linearly limb-darkened disc (coefficient 0.6) at each
    separation, integrated over the source radius from rings."""

def integrated_flux_map_heyrovsky_magnification(
    l: _Numbers, re: _Number, rstar: _Number, bl: _Numbers, bf: _Numbers
) -> list[float]:
    """Magnification of a source whose brightness is the piecewise-linear
    profile through the radii `bl` and brightnesses `bf`, from rings."""

def discrete_flux_map_heyrovsky_magnification(
    l: _Numbers, re: _Number, rstar: _Number, bl: _Numbers, bf: _Numbers
) -> list[float]:
    """The `bf`-weighted sum of the magnifications of thin rings at the radii `bl`."""

# The fitting functions: numpy array-likes in, float64 arrays out.
_Law: TypeAlias = str
_Coefficients: TypeAlias = Sequence[float] | tuple[Sequence[float], Sequence[float]]

def magnification(
    u: npt.ArrayLike,
    rho: npt.ArrayLike,
    law: _Law = "uniform",
    coefficients: _Coefficients = (),
    *,
    out: npt.NDArray[np.float64] | None = None,
) -> npt.NDArray[np.float64]:
    """Magnification of a limb-darkened source of radius `rho` at the
    separation `u`, both in Einstein radii, broadcast by numpy's rules."""

def light_curve(
    t: npt.ArrayLike,
    t0: npt.ArrayLike,
    u0: npt.ArrayLike,
    tE: npt.ArrayLike,
    rho: npt.ArrayLike,
    law: _Law = "uniform",
    coefficients: _Coefficients = (),
    *,
    out: npt.NDArray[np.float64] | None = None,
) -> npt.NDArray[np.float64]:
    """Magnification at the times `t` of a source passing the lens at the
    least separation `u0` at `t0`, crossing an Einstein radius in `tE`."""

def magnification_and_gradient(
    u: npt.ArrayLike,
    rho: npt.ArrayLike,
    law: _Law = "uniform",
    coefficients: _Coefficients = (),
) -> tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
]:
    """(A, dA_du, dA_drho, dA_dc): magnification() and its exact derivatives;
    dA_dc has a trailing axis of len(coefficients)."""

def light_curve_and_gradient(
    t: npt.ArrayLike,
    t0: npt.ArrayLike,
    u0: npt.ArrayLike,
    tE: npt.ArrayLike,
    rho: npt.ArrayLike,
    law: _Law = "uniform",
    coefficients: _Coefficients = (),
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(A, dA_dparams): light_curve() and its exact derivatives with respect
    to (t0, u0, tE, rho, *coefficients), along a trailing axis."""
