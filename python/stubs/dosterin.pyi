"""Dosterin material update models"""

from typing import overload

import numpy as np
from numpy.typing import NDArray

def device() -> str: ...
def cuda_available() -> bool: ...

class EnergeticMaterialProps:
    n0: float
    n1: float
    alpha0: float
    alpha1: float
    cureE: float
    gelE: float
    dt: float
    def __init__(self) -> None: ...

class Dosterin:
    n_nodes: int
    matprops: EnergeticMaterialProps
    @overload
    def __init__(self, n_nodes: int) -> None: ...
    @overload
    def __init__(self, n_nodes: int, matprops: EnergeticMaterialProps) -> None: ...
    def reaction_step(self, result_device_ptr: int, mesh_devlink_ptr: int) -> None: ...
    def get_eddf(self) -> NDArray[np.float64]: ...
    def get_doc(self) -> NDArray[np.float64]: ...
