// Graded-index ray integrators: one explicit step of the ray state inside an
// element.
//
// With the ray parameter t defined by dt = ds / n (s the geometric arc
// length) the state obeys
//   dpos/dt = Jinv^T T            (the physical velocity T in natural coordinates)
//   dT/dt   = n grad n
//   ds/dt   = |T|
//   dE/dt   = -alpha n E          (dE/ds = -alpha E, Beer-Lambert)
//   d absorbed_k/dt = N_k alpha n E / C_k   (C_k the nodal volume of node k)
// where n and alpha are interpolated from the element's nodal values at pos.
//
// `Solver` supplies the right-hand side and the two guards that keep the power
// from going negative; `ForwardEuler` and `RungeKutta4` take one step of a
// given size h (measured in t). The solvers hold no data; the trace kernel is a
// template over the solver type and calls `integrate` statically, so there is
// no virtual dispatch on the device. Step-size control and the test for
// leaving the element belong to the kernel.
//
// `advance` is `integrate` with the rate at the start of the step supplied by
// the caller: the step control reads that rate to choose h, and a step that is
// retried from the same state with a shorter h reuses it. `kOrder` and
// `kStageEvaluations` (rate evaluations per step besides the start rate) tell
// the step control how far a step may go and what it costs.
#pragma once

#include "device/Device.hpp"
#include "tracer/StateVector.hpp"
#include "tracer/mathutils.hpp"

#include <cmath>

template <class Element>
struct Solver {
    static constexpr int kOrder = 0;  // takes no step
    static constexpr int kStageEvaluations = 0;

    // Rate of the state S at its natural point. Every rate is taken at a new
    // point, so the element's geometry there is evaluated once, into a local
    // frame, and the element's caches are left alone: nothing of it has to
    // stay live (on the GPU: in registers) from one evaluation to the next.
    LVX_HD StateVector derivative(const StateVector& S, Element& el, const float n[8], const float a[8]) const {
        const typename Element::Frame f = el.frameAt(S.pos);
        StateVector D;  // pos and dir start zeroed; every component is written below
        D.pos = Element::naturalDirectionWith(f.Jinv, S.dir);
        const float ni = Element::interpolateWith(f.N, n);
        const Vec3 gradN = Element::gradientWith(f.Jinv, f.dN, n);
        D.dir = gradN * ni;
        D.s = S.dir.length();
        const float alpha = Element::interpolateWith(f.N, a);
        const float q = (alpha * ni) * S.E;
        D.E = -q;
        for (int k = 0; k < 8; ++k) D.absorbed[k] = f.N[k] * q / el.C[k];
        return D;
    }

    LVX_HD StateVector derivative(const StateVector* S, Element& el, const float n[8], const float a[8]) const {
        return derivative(*S, el, n, a);
    }

    // The base solver takes no step.
    LVX_HD void integrate(StateVector* /*S*/, Element& /*el*/, const float /*n*/[8], const float /*a*/[8],
                          float /*h*/) const {}
    LVX_HD void advance(StateVector* /*S*/, const StateVector& /*k1*/, Element& /*el*/, const float /*n*/[8],
                        const float /*a*/[8], float /*h*/) const {}

    // Scales the power part of the rate D (E and absorbed, together, so that
    // energy stays balanced) so that S.E + w * D.E does not fall below zero.
    // pos, dir and s are never scaled.
    LVX_HD static void capEnergyRate(StateVector& D, const StateVector& S, float w) {
        const float change = D.E * w;
        if (S.E > -change) return;
        // Past the test above a positive S.E implies change <= -S.E < 0, so
        // the ratio is well defined. A state without power (S.E <= 0, or NaN)
        // has nothing to absorb, and its rate's power part is scaled to zero
        // instead of dividing: the ratio would be 0/0 (NaN shares) for a ray
        // whose power is exactly zero, and for a negative power it would add
        // power or, against a negative rate as RK4 meets at its later stages,
        // flip the rate's sign and multiply the power. With a zero rate the
        // step keeps the non-positive power, which capEnergy clears to zero.
        const float f = S.E > 0.0f ? -S.E / change : 0.0f;
        D.E *= f;
        for (int k = 0; k < 8; ++k) D.absorbed[k] *= f;
    }

    // Clears a power that is not positive (NaN included).
    LVX_HD static void capEnergy(StateVector& S) {
        if (!(S.E > 0.0f)) S.E = 0.0f;
    }

protected:
    // S + w * k over all sixteen components, one fused multiply-add each.
    LVX_HD static void addScaled(StateVector& S, const StateVector& k, float w) {
        for (int i = 0; i < 3; ++i) {
            S.pos[i] = fmaf(w, k.pos[i], S.pos[i]);
            S.dir[i] = fmaf(w, k.dir[i], S.dir[i]);
        }
        S.s = fmaf(w, k.s, S.s);
        S.E = fmaf(w, k.E, S.E);
        for (int j = 0; j < 8; ++j) S.absorbed[j] = fmaf(w, k.absorbed[j], S.absorbed[j]);
    }
};

// First-order explicit step: one rate evaluation at the start of the step.
template <class Element>
struct ForwardEuler : Solver<Element> {
    static constexpr int kOrder = 1;
    static constexpr int kStageEvaluations = 0;

    LVX_HD void integrate(StateVector* S, Element& el, const float n[8], const float a[8], float h) const {
        advance(S, this->derivative(S, el, n, a), el, n, a, h);
    }

    // The rate k is taken by value: the cap scales it for this h only.
    LVX_HD void advance(StateVector* S, StateVector k, Element& /*el*/, const float /*n*/[8], const float /*a*/[8],
                        float h) const {
        Solver<Element>::capEnergyRate(k, *S, h);
        Solver<Element>::addScaled(*S, k, h);
        Solver<Element>::capEnergy(*S);
    }
};

// Classic fourth-order Runge-Kutta step. Every cap is measured against the
// power of the starting state, with the weight its rate carries in the step:
// h/6 for k1 and k4, h/3 for k2 and k3, h for the combined rate.
template <class Element>
struct RungeKutta4 : Solver<Element> {
    static constexpr int kOrder = 4;
    static constexpr int kStageEvaluations = 3;

    LVX_HD void integrate(StateVector* S, Element& el, const float n[8], const float a[8], float h) const {
        advance(S, this->derivative(S, el, n, a), el, n, a, h);
    }

    // k1 is the rate at S, taken by value: the cap scales it for this h only.
    LVX_HD void advance(StateVector* S, StateVector k1, Element& el, const float n[8], const float a[8],
                        float h) const {
        const float h6 = h * 0.16666667f;
        const float half = h * 0.5f;

        Solver<Element>::capEnergyRate(k1, *S, h6);

        // The weighted sum k1 + 2 k2 + 2 k3 + k4 is accumulated as each rate
        // arrives (in that order, so the rounding is that of the plain sum):
        // only the sum and the latest rate stay live across the evaluations.
        StateVector sum = k1;
        StateVector k = this->derivative(stage(*S, k1, half), el, n, a);
        Solver<Element>::capEnergyRate(k, *S, h6 + h6);
        sum = sum + k * 2.0f;

        k = this->derivative(stage(*S, k, half), el, n, a);
        Solver<Element>::capEnergyRate(k, *S, h6 + h6);
        sum = sum + k * 2.0f;

        k = this->derivative(stage(*S, k, h), el, n, a);
        Solver<Element>::capEnergyRate(k, *S, h6);

        StateVector K = (sum + k) * 0.16666667f;
        Solver<Element>::capEnergyRate(K, *S, h);
        Solver<Element>::addScaled(*S, K, h);
        Solver<Element>::capEnergy(*S);
    }

private:
    // Intermediate state S + w * k in the inputs of `derivative` (pos, dir, E);
    // s and absorbed are carried along unused.
    LVX_HD static StateVector stage(const StateVector& S, const StateVector& k, float w) {
        StateVector T = S;
        for (int i = 0; i < 3; ++i) {
            T.pos[i] = fmaf(w, k.pos[i], S.pos[i]);
            T.dir[i] = fmaf(w, k.dir[i], S.dir[i]);
        }
        T.E = fmaf(w, k.E, S.E);
        // The stage power is clamped at zero. In a strongly absorbing element
        // the predictor S + w * k overshoots past zero (from alpha n h of about
        // 1.3 on), and `derivative` at a negative power returns a positive
        // power rate that no cap scales (the caps only stop the power from
        // going below zero): the step would then multiply the power instead of
        // absorbing it and deposit negative power. With the clamp every stage
        // rate is non-positive, so a step never increases the power. While the
        // stage powers stay positive the clamp changes nothing.
        if (!(T.E > 0.0f)) T.E = 0.0f;
        return T;
    }
};
