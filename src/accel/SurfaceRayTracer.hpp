// Surface ray tracer: carries every ray of a set to the first boundary face
// along it, moving its position onto the face and recording the face id.
#pragma once

#include "accel/GridAccelerator.hpp"
#include "mesh/Mesh.hpp"
#include "rays/RayCollection.hpp"

#include <memory>

class SurfaceRayTracerBase {
public:
    virtual ~SurfaceRayTracerBase() = default;
    virtual void reserved() {}
    // Builds the face accelerator over the host mesh (prints its report).
    virtual void buildAccelerator(const Mesh& mesh) = 0;
    // One thread per ray; waits for the device. A ray that meets no face gets
    // face id -1 and keeps its position.
    virtual void traceRays(RayCollection& rays, const Mesh& mesh) = 0;
};

// Tracer over an accelerator type whose `Data` record answers
// `findIntersection(Ray&, const MeshDataFlat&)` on the device.
template <class Acc>
class SurfaceRayTracer : public SurfaceRayTracerBase {
public:
    void buildAccelerator(const Mesh& mesh) override { accelerator_.build(mesh); }
    void traceRays(RayCollection& rays, const Mesh& mesh) override;
    const Acc& accelerator() const { return accelerator_; }

private:
    Acc accelerator_;
};

extern template class SurfaceRayTracer<GridAccelerator>;

// kind 1: grid accelerator; any other kind: null.
std::unique_ptr<SurfaceRayTracerBase> createSurfaceRayTracer(int kind);
