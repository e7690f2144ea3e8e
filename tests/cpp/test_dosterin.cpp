// Tests of the dose-threshold model: the per-node update on host arrays, and
// the Dosterin object stepping a mesh record whose arrays are device memory.
#include "materials/Dosterin.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

MatProps resin() {
    MatProps p;
    p.n0 = 1.50;
    p.n1 = 1.54;
    p.alpha0 = 0.2;
    p.alpha1 = 0.05;
    p.gelE = 10.0;
    p.cureE = 30.0;
    p.dt = 2.0;
    return p;
}

struct Nodes {
    std::vector<double> power, eddf, doc;
    std::vector<float> alpha, n;
    Nodes(std::vector<double> p, std::vector<double> e)
        : power(std::move(p)), eddf(std::move(e)), doc(power.size(), -1.0), alpha(power.size(), -1.0f),
          n(power.size(), -1.0f) {}
    void step(const MatProps& p) {
        const int count = static_cast<int>(power.size());
        for (int i = 0; i <= count; ++i)  // one index past the end is ignored
            updateMaterialProperties(power.data(), eddf.data(), doc.data(), alpha.data(), n.data(), p, count, i);
    }
};

template <class T>
std::vector<T> fetch(const T* d_array, int count) {
    std::vector<T> out(static_cast<std::size_t>(count));
    dev::download(out.data(), d_array, out.size());
    return out;
}

}  // namespace

TEST(DosterinKernel, DegreeOfCuringFollowsTheThresholds) {
    const MatProps p = resin();
    // Energies after one step of dt = 2: below gel, at gel, a quarter, half, at cure, beyond.
    Nodes nodes({1.0, 0.0, 2.5, 5.0, 10.0, 0.0}, {0.0, 10.0, 10.0, 10.0, 10.0, 100.0});
    nodes.step(p);
    EXPECT_EQ(nodes.eddf, (std::vector<double>{2.0, 10.0, 15.0, 20.0, 30.0, 100.0}));
    EXPECT_EQ(nodes.doc, (std::vector<double>{0.0, 0.0, 0.25, 0.5, 1.0, 1.0}));
    for (std::size_t i = 0; i < 6; ++i) {
        const double x = nodes.doc[i];
        EXPECT_EQ(nodes.n[i], static_cast<float>(p.n1 * x + p.n0 * (1.0 - x))) << i;
        EXPECT_EQ(nodes.alpha[i], static_cast<float>(p.alpha1 * x + p.alpha0 * (1.0 - x))) << i;
    }

    // dt = 0 keeps the energy but still rewrites the DoC and the material.
    MatProps still = p;
    still.dt = 0.0;
    Nodes held({5.0}, {12.0});
    held.step(still);
    EXPECT_EQ(held.eddf[0], 12.0);
    EXPECT_DOUBLE_EQ(held.doc[0], 0.1);
    EXPECT_EQ(held.n[0], static_cast<float>(1.54 * held.doc[0] + 1.5 * (1.0 - held.doc[0])));

    // Equal thresholds (the default record): a step; a node at the threshold
    // (an unexposed node of the default record) stays uncured, never NaN.
    MatProps step;
    step.n1 = 2.0;
    step.dt = 1.0;
    Nodes edge({1.0, -1.0, 0.0}, {0.0, 0.0, 0.0});
    edge.step(step);
    EXPECT_EQ(edge.doc[0], 1.0);
    EXPECT_EQ(edge.doc[1], 0.0);
    EXPECT_EQ(edge.n[0], 2.0f);
    EXPECT_EQ(edge.doc[2], 0.0);
    EXPECT_EQ(edge.n[2], 0.0f);
    EXPECT_EQ(edge.alpha[2], 0.0f);
}

TEST(Dosterin, StepsAccumulateIntoTheMeshArrays) {
    constexpr int count = 300;  // more than one block
    Dosterin model(count, resin());
    std::vector<double> zeros(count, -1.0);
    model.getEddf(zeros.data());
    EXPECT_EQ(zeros, std::vector<double>(count, 0.0));

    // Power and material arrays in device memory, with a host record pointing
    // at them as lumivex's h_mdata_devlink does.
    std::vector<double> power(count);
    for (int i = 0; i < count; ++i) power[i] = 0.05 * i;
    MeshDataFlat mesh{};
    mesh.nNodes = count;
    double* d_power = dev::allocArray<double>(count);
    mesh.refrIndex = dev::allocArray<float>(count);
    mesh.absorptivity = dev::allocArray<float>(count);
    dev::upload(d_power, power.data(), count);
    dev::memset(mesh.refrIndex, 0, count * sizeof(float));
    dev::memset(mesh.absorptivity, 0, count * sizeof(float));

    for (int step = 1; step <= 2; ++step) {
        model.reactionStep(reinterpret_cast<std::uintptr_t>(d_power), reinterpret_cast<std::uintptr_t>(&mesh));
        std::vector<double> eddf(count), doc(count);
        model.getEddf(eddf.data());
        model.getDoc(doc.data());
        const auto n = fetch(mesh.refrIndex, count), alpha = fetch(mesh.absorptivity, count);
        for (int i = 0; i < count; ++i) {
            const double e = step * 2.0 * power[i];
            const double x = std::fmin(1.0, std::fmax(0.0, (e - 10.0) / 20.0));
            ASSERT_EQ(eddf[i], e) << i;
            ASSERT_DOUBLE_EQ(doc[i], x) << i;
            ASSERT_EQ(n[i], static_cast<float>(1.54 * x + 1.50 * (1.0 - x))) << i;
            ASSERT_EQ(alpha[i], static_cast<float>(0.05 * x + 0.2 * (1.0 - x))) << i;
        }
    }
    dev::freeArray(d_power);
    dev::freeArray(mesh.refrIndex);
    dev::freeArray(mesh.absorptivity);
}
