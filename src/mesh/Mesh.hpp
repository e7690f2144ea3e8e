// Host owner of one hexahedral mesh on the device.
//
// `Mesh` owns every device array named in its `MeshDataFlat` (as buffers, by
// group). `h_mdata_devlink` is the host copy of the record (its array fields
// are the buffers' device addresses) and `d_mdata` the device copy that
// kernels receive; `synchronize()` copies the former into the latter after any
// change of a count or an address. Other modules read a `Mesh` through its
// address, so its first two members are `d_mdata` and `h_mdata_devlink`, in
// that order.
#pragma once

#include "device/Buffer.hpp"
#include "mesh/MeshDataFlat.hpp"
#include "mesh/OpticalBoundaryCondition.hpp"

#include <string>
#include <vector>

class Mesh {
public:
    MeshDataFlat* d_mdata = nullptr;
    MeshDataFlat h_mdata_devlink;

    Mesh();
    Mesh(int nNodes, int nElements, int nFaces);
    Mesh(const Mesh&) = delete;
    Mesh& operator=(const Mesh&) = delete;

    // Allocation replaces the arrays of one group (freeing the old ones) and
    // sets its count. Contents are not initialised, except the documented
    // fills: elementNeighborOrientations = 255 and faceBC = -1. Every array of
    // the group is allocated before any old one goes, so a failed allocation
    // leaves the group as it was.
    void allocateNodes(int count);
    void allocateElements(int count);
    void allocateFaces(int count);
    void releaseConditions();  // the seven boundary-condition arrays
    void synchronize();        // h_mdata_devlink -> d_mdata

    // Kernels of the loaded mesh (each waits for completion).
    void computeNormals();
    void computeNodalMass();
    void checkConstRefrIndex();  // also prints the region statistics
    void setConstantMaterialProperties(double n, double alpha);
    void setRefractiveIndexConstant(double n);
    void setAbsorptivityConstant(double alpha);

    // Optical boundary conditions (replace all / remove all) and face
    // selection; ids are global boundary-face ids, returned ascending.
    void setBoundaryConditions(const std::vector<OpticalBoundaryCondition>& conditions);
    void clearBoundaryConditions();
    std::vector<int> selectBoundaryFacesBBox(bool requireAllNodes, double xMin, double xMax, double yMin,
                                             double yMax, double zMin, double zMax, double tolerance) const;
    std::vector<int> selectBoundaryFacesRadial(bool requireAllNodes, double radiusMin, double radiusMax,
                                               double tolerance) const;
    // Boundary faces as VTU quads with FaceId and GroupId cell data.
    void writeBoundaryFaceGroupsVTU(const char* path, const std::vector<std::vector<int>>& groups,
                                    bool includeUnassigned) const;
    void writeBoundaryConditionGroupsVTU(const char* path, bool includeUnassigned) const;

    int nodeCount() const { return h_mdata_devlink.nNodes; }
    int elementCount() const { return h_mdata_devlink.nElements; }
    int faceCount() const { return h_mdata_devlink.nFaces; }

private:
    // Owners of the arrays h_mdata_devlink points at, one struct per group.
    struct NodeArrays {
        dev::Buffer<float> coords, refrIndex, absorptivity, nodalMass;
    };
    struct ElementArrays {
        dev::Buffer<int> nodes, neighbors, neighborTypes, neighborFaces, constRefrIndex;
        dev::Buffer<std::uint8_t> neighborOrientations;
    };
    struct FaceArrays {
        dev::Buffer<int> nodes, element, localFace, bc;
        dev::Buffer<float> normals;
    };
    struct ConditionArrays {
        dev::Buffer<int> roughSurface, interactionType, faceOffsets, faces;
        dev::Buffer<float> roughness, refrIndexReal, refrIndexImag;
    };
    // Takes over a complete set of condition arrays and points the record at them.
    void adoptConditions(ConditionArrays arrays, int nConditions, int nConditionFaces);

    dev::Buffer<MeshDataFlat> record_;  // what d_mdata points at
    NodeArrays nodes_;
    ElementArrays elements_;
    FaceArrays faces_;
    ConditionArrays conditions_;
};
