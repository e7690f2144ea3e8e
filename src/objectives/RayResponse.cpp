#include "objectives/RayResponse.hpp"

#include <cstdio>

void RayResponse::configure(int nNodes, int nRays) {
    const std::size_t n = nNodes > 0 ? static_cast<std::size_t>(nNodes) : 0;
    const std::size_t r = nRays > 0 ? static_cast<std::size_t>(nRays) : 0;
    auto weights = dev::deviceBuffer<double>(n);
    auto response = dev::deviceBuffer<double>(r);
    dev::memset(weights.get(), 0, n * sizeof(double));
    dev::memset(response.get(), 0, r * sizeof(double));
    weights_ = std::move(weights);
    response_ = std::move(response);
    nNodes_ = static_cast<int>(n);
    nRays_ = static_cast<int>(r);
}

void RayResponse::setWeights(const double* hostWeights) {
    if (hostWeights != nullptr) dev::upload(weights_.get(), hostWeights, static_cast<std::size_t>(nNodes_));
}

void RayResponse::getResult(double* hostPtr) {
    if (hostPtr == nullptr) {
        std::printf("Error: hostPtr is nullptr in getResult\n");
        return;
    }
    dev::download(hostPtr, response_.get(), static_cast<std::size_t>(nRays_));
}

void RayResponse::resetResult() { dev::memset(response_.get(), 0, static_cast<std::size_t>(nRays_) * sizeof(double)); }
