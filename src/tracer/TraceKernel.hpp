// Per-ray body of the volumetric trace: entry interface, then the walk from
// element to element with the path integrated in natural coordinates.
//
// Templated on the objective's device record (what the trace records), the
// solver (how a step is integrated) and the element type, so everything is
// resolved at compile time inside the kernel.
#pragma once

#include "mesh/HEX8Element.hpp"
#include "mesh/MeshDataFlat.hpp"
#include "rays/RaysDataFlat.hpp"
#include "tracer/InterfaceOptics.hpp"
#include "tracer/StateVector.hpp"

#include <cmath>
#include <cstdio>

namespace trace {

// A ray trapped by total internal reflection, or between reflecting faces,
// would never leave. Each ray therefore ends after this many element visits,
// or once its power has fallen below this fraction of its entry power (what
// is left then is far below anything a deposit could resolve).
constexpr int kMaxElementVisits = 100000;
constexpr float kPowerFloor = 1e-9f;

// Initial step (in the ray parameter) and the number of steps one element
// visit may take; rejected steps count too.
constexpr float kInitialStep = 0.1f;
constexpr float kOvershootTolerance = 0.001f;
LVX_HD inline int stepBudget() { return static_cast<int>(20.0 / static_cast<double>(kInitialStep)); }

LVX_HD inline Vec3 clampToCube(const Vec3& xi) {
    return Vec3(fminf(fmaxf(xi.x, -1.0f), 1.0f), fminf(fmaxf(xi.y, -1.0f), 1.0f), fminf(fmaxf(xi.z, -1.0f), 1.0f));
}

// Where the ray stands when an element visit begins.
struct EntryPoint {
    int entryFace = 6;        // local face the ray came through (>= 6: unknown)
    int previousElement = -1; // element the ray came from through that face
    Vec3 previousExit;        // natural exit point in the previous element
    bool reflected = false;   // re-entering the same element after a reflection
    Vec3 reflectionPoint;     // natural point of the reflection in that element
};

// Natural coordinates at which the ray enters element e.
template <class Element>
LVX_HD Vec3 entryNaturalPoint(const MeshDataFlat& m, Element& el, int e, const EntryPoint& at, const Ray& ray) {
    if (at.reflected) return at.reflectionPoint;
    const int f = at.entryFace;
    if (f >= 0 && f < 6 && m.elementNeighborTypes[6 * e + f] == 0) {
        const int B = m.elementNeighbors[6 * e + f];
        const int g = m.elementNeighborFaces[6 * e + f];
        if (B >= 0 && B == at.previousElement && g >= 0 && g < 6) {
            const int code = m.elementNeighborOrientations[6 * B + g];
            if (code != 255) return el.transferAcrossFace(at.previousExit, g, f, code);
        }
    }
    return el.toNatural(ray.position, hex8FaceCentre(f));
}

// Integrates the state through one element visit: steps of h (halved when a
// step overshoots the element by more than the tolerance) until the ray has
// just left the element or the step budget is spent.
template <class Solver, class Element>
LVX_HD void integrateVisit(StateVector& S, Element& el, const float n[8], const float a[8]) {
    const Solver solver;
    float h = kInitialStep;
    float overshoot = INFINITY;
    bool first = true;
    const int budget = stepBudget();
    for (int steps = 0;
         steps < budget && (first || Element::isInside(S.pos) || overshoot > kOvershootTolerance); ++steps) {
        const StateVector backup = S;
        solver.integrate(&S, el, n, a, h);
        first = false;
        if (Element::isInside(S.pos)) continue;
        overshoot = el.overshootError(S.pos);
        if (overshoot > kOvershootTolerance) {
            S = backup;
            h *= 0.5f;
        }
    }
}

// Walks a ray that has entered the mesh through boundary face f; returns the
// number of element visits it made.
template <class ObjectiveDevice, class Solver, class Element>
LVX_HD int walkElements(const MeshDataFlat& m, const ObjectiveDevice& objective, Ray& ray, int f) {
    int e = m.faceElement[f];
    EntryPoint at;
    at.entryFace = m.faceLocalFace[f];
    const float entryPower = ray.payload;
    float s = 0.0f;
    Element el;
    float n[8], a[8];
    int nodes[8];

    int visit = 0;
    for (; visit < kMaxElementVisits; ++visit) {
        if (e < 0 || e >= m.nElements || !(ray.payload > entryPower * kPowerFloor)) return visit;
        el.load(m, e);
        for (int k = 0; k < 8; ++k) {
            nodes[k] = m.elementNodes[8 * e + k];
            n[k] = m.refrIndex[nodes[k]];
            a[k] = m.absorptivity[nodes[k]];
        }

        StateVector S;
        S.pos = entryNaturalPoint(m, el, e, at, ray);
        S.dir = ray.direction * el.interpolate(n, S.pos);
        S.s = s;
        S.E = ray.payload;
        for (int k = 0; k < 8; ++k) S.absorbed[k] = 0.0f;
        integrateVisit<Solver>(S, el, n, a);

        const Vec3 x = el.toPhysical(S.pos);
        objective.interactElementLocal(S, x, nodes, ray.index);
        ray.position = x;
        ray.direction = S.dir.normalized();
        ray.payload = S.E;
        s = S.s;
        const float nExit = el.interpolate(n, S.pos);

        const int exitFace = el.getExitFace(Vec3(), S.pos);
        if (exitFace < 0) return visit + 1;
        const int slot = 6 * e + exitFace;
        if (m.elementNeighborTypes[slot] == 1) {
            if (interactExitFace(ray, m, m.elementNeighbors[slot], nExit) != InterfaceOutcome::Stay) return visit + 1;
            // Reflected back into this element: it re-enters at the
            // reflection point, which lies on the face it just reached.
            at.reflected = true;
            at.reflectionPoint = clampToCube(S.pos);
            continue;
        }
        const int nextFace = m.elementNeighborFaces[slot];
        if (nextFace < 0 || nextFace > 5) LVX_DEVICE_PRINTF("incorrect skip index: %d\n", nextFace);
        at = EntryPoint();
        at.entryFace = nextFace;
        at.previousElement = e;
        at.previousExit = S.pos;
        e = m.elementNeighbors[slot];
    }
    return visit;
}

// The whole trace of ray i; returns its number of element visits.
template <class ObjectiveDevice, class Solver, class Element>
LVX_HD int traceRay(const RaysDataFlat* rays, const MeshDataFlat* mesh, const ObjectiveDevice& objective, int i) {
    const MeshDataFlat& m = *mesh;
    Ray ray = rays->getRay(i);
    const int f = ray.face;
    InterfaceOutcome outcome = InterfaceOutcome::End;
    if (f >= 0 && f < m.nFaces && isFiniteVec(ray.position)) outcome = interactEntryFace(ray, m);
    if (f != -1) objective.interactInterface(ray);
    int visits = 0;
    if (outcome == InterfaceOutcome::Enter) visits = walkElements<ObjectiveDevice, Solver, Element>(m, objective, ray, f);
    if (rays->rngStates) rays->rngStates[i] = ray.rngState;
    return visits;
}

}  // namespace trace
