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
#include "tracer/TraceOptions.hpp"

#include <cmath>
#include <cstdio>

namespace trace {

// A ray trapped by total internal reflection, or between reflecting faces,
// would never leave. Each ray therefore ends after this many element visits,
// or once its power has fallen below this fraction of its entry power (what
// is left then is far below anything a deposit could resolve).
constexpr int kMaxElementVisits = 100000;
constexpr float kPowerFloor = 1e-9f;
// A ray that cycles without real progress (between the elements of a tangled
// mesh, or stuck on an edge) ends long before that bound: after this many
// consecutive visits that each moved it less than kStallProgress of the
// element's diagonal. A ray that crosses or reflects inside an element moves
// about its size, so no legitimate path is cut.
constexpr int kStallVisits = 64;
constexpr float kStallProgress = 1e-3f;

// A step may end at most this far outside the element, in natural coordinates.
constexpr float kOvershootTolerance = 0.001f;

// ---- FixedStart: initial step in the ray parameter and the number of steps
// one element visit may take; rejected steps count too.
constexpr float kInitialStep = 0.1f;
LVX_HD inline int stepBudget() { return static_cast<int>(20.0 / static_cast<double>(kInitialStep)); }

// ---- FollowElement.
// A landing step aims this far past the exit face, so that rounding and a
// slightly curved path still end within the tolerance. The path beyond the
// face is integrated twice (here and from the face in the next element), so
// the aim is kept well below the tolerance.
constexpr float kExitAim = 0.2f * kOvershootTolerance;
// Rejected steps one visit may take (overshoots shortened by the secant).
constexpr int kRejectedStepBudget = 32;
// Accepted steps one visit may take. Steps scale with the element, so only an
// optically thick element, resolved step by step, comes near this.
constexpr int kAcceptedStepBudget = 1024;

// What bounds the steps of a solver of the given order; all three are free of
// the mesh's length unit:
// - pieces: steps across the element along the straight path predicted at the
//   entry point. Forward Euler takes two, so that its steps are no longer
//   than the fixed rule's accepted steps on elements up to the 0.1 n step;
//   RK4 crosses in one step where the limits below allow it.
// - optical depth alpha n h of one step, which bounds the error of the
//   absorbed power (about depth^2/2 per step for Euler, depth^5/120 for RK4);
// - turn h |grad n| of the direction in one step, which bounds the error of
//   the bent path.
struct StepLimits {
    float pieces;
    float maxOpticalDepth;
    float maxTurn;
};
LVX_HD constexpr StepLimits stepLimitsFor(int order) {
    return order >= 4 ? StepLimits{1.0f, 0.25f, 0.1f} : StepLimits{2.0f, 0.04f, 0.02f};
}

// Ray parameter at which pos, moving straight at the natural velocity v,
// reaches the plane |coordinate| = reach on the first axis; INFINITY when v
// is zero (or not a number).
LVX_HD inline float timeToReach(const Vec3& pos, const Vec3& v, float reach) {
    float t = INFINITY;
    for (int i = 0; i < 3; ++i) {
        if (v[i] > 0.0f) t = fminf(t, (reach - pos[i]) / v[i]);
        if (v[i] < 0.0f) t = fminf(t, (-reach - pos[i]) / v[i]);
    }
    return fmaxf(t, 0.0f);
}

// Longest step that keeps the optical depth and the turn of one step within
// the limits, from the rate k at the state S. Once the power has fallen below
// `powerFloor` the optical depth no longer limits the step.
LVX_HD inline float accuracyLimit(const StateVector& S, const StateVector& k, const StepLimits& limits,
                                  float powerFloor) {
    float h = INFINITY;
    if (S.E > powerFloor && k.E < 0.0f) h = limits.maxOpticalDepth * (S.E / -k.E);  // -k.E / E = alpha n
    const float speed = S.dir.length();  // |T| = n
    const float turnRate = k.dir.length();  // |dT/dt| = n |grad n|
    if (turnRate > 0.0f && speed > 0.0f) h = fminf(h, limits.maxTurn * (speed / turnRate));
    return h;
}

// Fraction of a rejected step that would end `aim` past the face it crossed,
// from the step's chord: the natural coordinate that overshoots most at `to`
// is taken as linear between `from` (inside, or on a face) and `to`. Half
// when the chord gives no usable fraction.
LVX_HD inline float secantFraction(const Vec3& from, const Vec3& to, float aim) {
    int axis = 0;
    for (int i = 1; i < 3; ++i)
        if (fabsf(to[i]) > fabsf(to[axis])) axis = i;
    const float side = to[axis] < 0.0f ? -1.0f : 1.0f;
    const float g0 = side * from[axis] - 1.0f;
    const float g1 = side * to[axis] - 1.0f;
    const float f = (aim - g0) / (g1 - g0);
    return (f > 0.0f && f < 1.0f) ? f : 0.5f;
}

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

// FixedStart: steps of h (halved when a step overshoots the element by more
// than the tolerance) until the ray has just left the element or the step
// budget is spent.
template <class Solver, class Element>
LVX_HD void integrateVisitFixedStart(StateVector& S, Element& el, const float n[8], const float a[8],
                                     TraceCounts& counts) {
    const Solver solver;
    float h = kInitialStep;
    float overshoot = INFINITY;
    bool first = true;
    const int budget = stepBudget();
    int steps = 0;
    for (; steps < budget && (first || Element::isInside(S.pos) || overshoot > kOvershootTolerance); ++steps) {
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
    counts.steps += steps;
    counts.evaluations += static_cast<long long>(steps) * (1 + Solver::kStageEvaluations);
}

// FollowElement: each step starts from the rate k1 at the current state. Its
// natural velocity k1.pos predicts when the ray reaches the exit face; the
// step goes there (aiming just past the face) in as few equal pieces as the
// solver's limits allow. A step that overshoots by more than the tolerance is
// retried from the same state and rate, shortened by the secant fraction that
// puts it on the face. The visit ends once a step lands within the tolerance
// outside the element, or inside the element when the ray cannot move on
// (no natural velocity, a step that does not move it, a spent budget); the
// caller then hands it over through the nearest face.
template <class Solver, class Element>
LVX_HD void integrateVisitFollowElement(StateVector& S, Element& el, const float n[8], const float a[8],
                                        TraceCounts& counts) {
    const Solver solver;
    constexpr StepLimits limits = stepLimitsFor(Solver::kOrder);
    const float powerFloor = S.E * kPowerFloor;
    float plan = -1.0f;  // longest step of the visit, set at its first step
    int rejected = 0;
    for (int accepted = 0; accepted < kAcceptedStepBudget; ++accepted) {
        const StateVector k1 = solver.derivative(S, el, n, a);
        ++counts.evaluations;
        const float reach = timeToReach(S.pos, k1.pos, 1.0f + kExitAim);
        if (!(reach < INFINITY)) return;
        if (plan < 0.0f) plan = reach / limits.pieces;
        const float longest = fminf(plan, accuracyLimit(S, k1, limits, powerFloor));
        // Pieces are rounded down within 1 %, so that the last piece of a
        // straight path is not split again for the aim's small extra length.
        float h = reach / fmaxf(1.0f, ceilf(reach / longest - 0.01f));
        if (!(h > 0.0f)) return;

        const StateVector start = S;
        for (;;) {
            solver.advance(&S, k1, el, n, a, h);
            ++counts.steps;
            counts.evaluations += Solver::kStageEvaluations;
            if (Element::isInside(S.pos)) break;
            if (el.overshootError(S.pos) <= kOvershootTolerance) return;
            const Vec3 miss = S.pos;
            S = start;
            if (++rejected >= kRejectedStepBudget) return;
            h *= secantFraction(start.pos, miss, kExitAim);
        }
        if (S.pos.x == start.pos.x && S.pos.y == start.pos.y && S.pos.z == start.pos.z) return;
    }
}

template <class Solver, class Element>
LVX_HD void integrateVisit(StateVector& S, Element& el, const float n[8], const float a[8], StepRule rule,
                           TraceCounts& counts) {
#if defined(__CUDA_ARCH__)
    // The earlier fixed-start rule is a CPU benchmark baseline only (the engine
    // refuses it on the GPU): leaving it out of the device code keeps the
    // kernel's register use down.
    (void)rule;
    integrateVisitFollowElement<Solver>(S, el, n, a, counts);
#else
    if (rule == StepRule::FixedStart)
        integrateVisitFixedStart<Solver>(S, el, n, a, counts);
    else
        integrateVisitFollowElement<Solver>(S, el, n, a, counts);
#endif
}

// Walks a ray that has entered the mesh through boundary face f, adding its
// work to `counts`.
template <class ObjectiveDevice, class Solver, class Element>
LVX_HD void walkElements(const MeshDataFlat& m, const ObjectiveDevice& objective, Ray& ray, int f, StepRule rule,
                         TraceCounts& counts) {
    int e = m.faceElement[f];
    EntryPoint at;
    at.entryFace = m.faceLocalFace[f];
    const float entryPower = ray.payload;
    float s = 0.0f;
    Element el;
    float n[8], a[8];
    int nodes[8];
    int stalledVisits = 0;

    for (int visit = 0; visit < kMaxElementVisits; ++visit) {
        if (e < 0 || e >= m.nElements || !(ray.payload > entryPower * kPowerFloor)) return;
        ++counts.visits;
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
        integrateVisit<Solver>(S, el, n, a, rule, counts);

        const Vec3 x = el.toPhysical(S.pos);
        objective.interactElementLocal(S, x, nodes, ray.index);
        const float diagonal = (el.nodes[6] - el.nodes[0]).length();  // corners (+,+,+) and (-,-,-)
        stalledVisits = (x - ray.position).length() < kStallProgress * diagonal ? stalledVisits + 1 : 0;
        if (stalledVisits >= kStallVisits) {
            counts.stalled = 1;
            return;
        }
        ray.position = x;
        ray.direction = S.dir.normalized();
        ray.payload = S.E;
        s = S.s;
        const float nExit = el.interpolate(n, S.pos);

        const int exitFace = el.getExitFace(Vec3(), S.pos);
        if (exitFace < 0) return;
        const int slot = 6 * e + exitFace;
        if (m.elementNeighborTypes[slot] == 1) {
            if (interactExitFace(ray, m, m.elementNeighbors[slot], nExit) != InterfaceOutcome::Stay) return;
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
}

// The whole trace of ray i; returns its work.
template <class ObjectiveDevice, class Solver, class Element>
LVX_HD TraceCounts traceRay(const RaysDataFlat* rays, const MeshDataFlat* mesh, const ObjectiveDevice& objective,
                            int i, StepRule rule) {
    TraceCounts counts;
    const MeshDataFlat& m = *mesh;
    Ray ray = rays->getRay(i);
    const int f = ray.face;
    InterfaceOutcome outcome = InterfaceOutcome::End;
    if (f >= 0 && f < m.nFaces && isFiniteVec(ray.position)) outcome = interactEntryFace(ray, m);
    if (f != -1) objective.interactInterface(ray);
    if (outcome == InterfaceOutcome::Enter)
        walkElements<ObjectiveDevice, Solver, Element>(m, objective, ray, f, rule, counts);
    if (rays->rngStates) rays->rngStates[i] = ray.rngState;
    return counts;
}

}  // namespace trace
