// The ray-response objective: the adjoint of the light-transport objective.
//
// Absorbed power is linear in the rays' starting powers while the materials
// stay fixed: Q_k = sum_i P_i q_ik, where q_ik is what ray i deposits on node
// k (per nodal volume) per unit starting power. For node weights w the
// response of ray i is r_i = sum_k w_k q_ik, so that sum_i r_i P_i equals
// sum_k w_k Q_k. Traced with unit starting power (the engine arranges that),
// every element visit adds the weighted sum of its eight nodal deposits to
// its own ray's slot (see `RayResponseDevice`): one gradient of any
// node-weighted functional of the absorbed power with respect to every ray
// power, in one trace.
//
// Owns a weight array (one double per node) and a response array (one double
// per ray) on the device; movable, not copyable.
#pragma once

#include "device/Buffer.hpp"
#include "objectives/Objective.hpp"

class RayResponse : public Objective {
public:
    // Zeroed weights for nNodes nodes and responses for nRays rays (negative
    // counts count as 0); the previous buffers stay in place if allocation fails.
    void configure(int nNodes, int nRays);
    // Copies nodeCount() weights from host memory.
    void setWeights(const double* hostWeights);

    void getResult(double* hostPtr) override;  // copies rayCount() doubles
    void resetResult() override;               // zeroes the responses
    double* getResultArrayDevicePtr() override { return response_.get(); }

    RayResponseDevice device() const { return RayResponseDevice{weights_.get(), response_.get(), nNodes_, nRays_}; }
    int nodeCount() const { return nNodes_; }
    int rayCount() const { return nRays_; }

private:
    dev::Buffer<double> weights_;   // nNodes_
    dev::Buffer<double> response_;  // nRays_
    int nNodes_ = 0;
    int nRays_ = 0;
};
