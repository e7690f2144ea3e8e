// Element neighbours, boundary faces and face orientations of a loaded mesh.
#pragma once

#include "mesh/FaceMatching.hpp"
#include "mesh/Mesh.hpp"

// Neighbours, boundary faces (numbered in the order users rely on), face
// orientations and outward normals of a mesh whose element nodes are loaded.
void buildConnectivity(Mesh& mesh);
// The same with the element faces already matched (by the mesh checks) on
// the element nodes the mesh holds; a matching of another size is redone.
void buildConnectivity(Mesh& mesh, FaceMatches faces);

// Orientation code 0..7 taking face f of element A to face g of element B, or
// -1 if the faces do not share their four nodes. `elementNodes` holds 8 ids
// per element.
int faceOrientation(const int* elementNodes, int A, int f, int B, int g);
