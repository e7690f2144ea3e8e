// The ray state integrated inside one element visit.
//
// Sixteen single-precision values: the natural position of the ray in its
// element, the optical direction T = n * (unit propagation direction) in
// physical space, the geometric path length, the ray power and the power
// absorbed during the visit, already shared out to the element's eight nodes
// and divided by each node's nodal volume. The arithmetic is component-wise
// over all sixteen values; the solvers combine stage rates with it.
#pragma once

#include "device/Device.hpp"
#include "tracer/mathutils.hpp"

struct StateVector {
    Vec3 pos;  // natural coordinates (xi, eta, zeta)
    Vec3 dir;  // optical direction T in physical coordinates, |T| = n
    float s;   // geometric path length
    float E;   // power
    float absorbed[8];  // per node: absorbed power / nodal volume

    // pos and dir start zeroed (Vec3's own initialisers); s, E and absorbed
    // are left unset for the caller to fill.

    LVX_HD StateVector operator+(const StateVector& o) const {
        StateVector r;
        r.pos = pos + o.pos;
        r.dir = dir + o.dir;
        r.s = s + o.s;
        r.E = E + o.E;
        for (int k = 0; k < 8; ++k) r.absorbed[k] = absorbed[k] + o.absorbed[k];
        return r;
    }

    LVX_HD StateVector operator*(float f) const {
        StateVector r;
        r.pos = pos * f;
        r.dir = dir * f;
        r.s = s * f;
        r.E = E * f;
        for (int k = 0; k < 8; ++k) r.absorbed[k] = absorbed[k] * f;
        return r;
    }
};

LVX_HD inline StateVector operator*(float f, const StateVector& S) { return S * f; }
