// The records whose raw addresses the lumivex module hands out (the mesh, its
// MeshDataFlat record, the absorbed-power array), so that kuravel and dosterin
// can verify an address before they dereference it. The three modules share
// one process but no library: the consumers ask through `_node_count_at` of
// the lumivex module found in sys.modules (see lumivex_addresses.hpp).
#pragma once

#include "engine/Lumivex.hpp"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>

namespace lvx {

enum class AddressKind { Mesh, MeshData, Result };

// Records a non-zero address handed out by `engine` and returns it.
std::uintptr_t handOut(Lumivex& engine, AddressKind kind, std::uintptr_t address);

// Drops every record of an engine that is being destroyed.
void forgetEngine(const Lumivex* engine);

// Holder deleter of the Python Lumivex class: addresses of a destroyed engine
// become unknown.
struct ForgetAndDelete {
    void operator()(Lumivex* engine) const {
        forgetEngine(engine);
        delete engine;
    }
};
using EngineHolder = std::unique_ptr<Lumivex, ForgetAndDelete>;

// Adds `_node_count_at(kind, address, argument) -> int` to the module: the
// node count of the live record at `address` ("mesh", "mesh_data" or
// "result"), or RuntimeError naming `argument` for an address that was never
// handed out, belongs to a destroyed engine, is of another kind or is stale.
void addAddressRegistry(pybind11::module_& m);

}  // namespace lvx
