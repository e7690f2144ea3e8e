"""Kuravel material model bindings"""

import numpy as np
from numpy.typing import NDArray

def device() -> str: ...
def cuda_available() -> bool: ...

class KuravelProps:
    kpropagation: float
    koxygen: float
    diffusion_oxygen: float
    diffusion_radical: float
    diffusion_bc: int
    diffusion_bc_radical: int
    diffusion_bc_oxygen: int
    dirichlet_radical: float
    dirichlet_oxygen: float
    oxygen_gel_point: float
    oxygen_dirichlet_all_boundary: bool
    oxygen_dirichlet_bc_groups: list[int]
    oxygen_dirichlet_face_ids: list[int]
    dt: float
    n0: float
    n1: float
    alpha0: float
    alpha1: float
    c_monomer0: float
    c_radical0: float
    c_oxygen0: float
    degree_of_curing0: float
    def __init__(self) -> None: ...

class Kuravel:
    def __init__(self, n_nodes: int, props: KuravelProps) -> None: ...
    def initialize_accelerator(self, mesh_ptr: int) -> None: ...
    def reaction_step(self, result_device_ptr: int, mesh_devlink_ptr: int) -> None: ...
    def get_degree_of_curing(self) -> NDArray[np.float64]: ...
    def get_oxygen_concentration(self) -> NDArray[np.float64]: ...
    def get_dt(self) -> float: ...
