#include "accel/SurfaceRayTracer.hpp"

#include "device/Launch.hpp"

namespace {

// Moves ray i onto the nearest boundary face in front of it. The face id is
// cleared first, so a ray that misses leaves with -1 and its old position.
template <class AccData>
LVX_HD inline void traceRaysKernel(const RaysDataFlat* rays, const MeshDataFlat* mesh, const AccData& acc, int i) {
    Ray ray = rays->getRay(i);
    ray.face = -1;
    acc.findIntersection(ray, *mesh);
    if (ray.face >= 0) ray.position = ray.position + ray.direction * ray.hitDistance;
    rays->setRay(ray);
}

}  // namespace

template <class Acc>
void SurfaceRayTracer<Acc>::traceRays(RayCollection& rays, const Mesh& mesh) {
    const int n = rays.nRays;
    if (n <= 0) return;
    const RaysDataFlat* d_rays = rays.d_rdata;
    const MeshDataFlat* d_mesh = mesh.d_mdata;
    const typename Acc::Data acc = accelerator_.data();
    // Rays differ widely in the cells they cross: balance them dynamically.
    dev::forEach("surfaceTraceRaysKernel", n, LVX_LAMBDA(int i) { traceRaysKernel(d_rays, d_mesh, acc, i); },
                 {dev::kBlockSize, dev::Schedule::Dynamic});
    dev::synchronize();
}

template class SurfaceRayTracer<GridAccelerator>;

std::unique_ptr<SurfaceRayTracerBase> createSurfaceRayTracer(int kind) {
    if (kind == 1) return std::make_unique<SurfaceRayTracer<GridAccelerator>>();
    return nullptr;
}
