// Face-based optical boundary conditions as users define them.
#pragma once

#include <vector>

enum BoundaryConditionInteractionType : int { TRANSMIT = 0, REFLECT = 1 };

struct OpticalBoundaryCondition {
    bool rough_surface = false;
    double roughness = 0.0;
    BoundaryConditionInteractionType interaction_type = TRANSMIT;
    double refractive_index_real = 1.0;
    double refractive_index_imag = 0.0;
    std::vector<int> faces;  // global boundary-face ids
};
