// Configuration of the objectives from TOML tables, and the key readers they
// share with the lumivex-trace program.
#include "objectives/ObjectiveConfig.hpp"

#include "mesh/Mesh.hpp"
#include "objectives/LightTransport.hpp"
#include "objectives/OpticalPath.hpp"
#include "objectives/Render.hpp"

#include <climits>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <type_traits>

static_assert(std::is_same_v<toml::table, toml::v3::table>, "Objective.hpp declares the wrong toml table type");

namespace lvx::config {

const char* typeName(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string: return "a string";
        case toml::node_type::integer: return "an integer";
        case toml::node_type::floating_point: return "a floating-point number";
        case toml::node_type::boolean: return "a boolean";
        case toml::node_type::date: return "a date";
        case toml::node_type::time: return "a time";
        case toml::node_type::date_time: return "a date-time";
        case toml::node_type::array: return "an array";
        case toml::node_type::table: return "a table";
        default: return "no value";
    }
}

void badKey(std::string_view owner, std::string_view key, const std::string& what, const toml::node* node) {
    std::string text = std::string(owner) + ": key \"" + std::string(key) + "\" " + what;
    if (node != nullptr && node->source().begin.line > 0)
        text += " (line " + std::to_string(node->source().begin.line) + ")";
    throw std::runtime_error(text);
}

namespace {

const toml::node* find(const toml::table& table, std::string_view key) { return table.get(key); }

[[noreturn]] void mistyped(std::string_view owner, std::string_view key, const char* wanted, const toml::node& node) {
    badKey(owner, key, std::string("must be ") + wanted + ", not " + typeName(node), &node);
}

}  // namespace

std::optional<std::string> optionalString(const toml::table& table, std::string_view key, std::string_view owner) {
    const toml::node* node = find(table, key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_string()) mistyped(owner, key, "a string", *node);
    const std::string& value = node->as_string()->get();
    if (value.empty()) badKey(owner, key, "must not be empty", node);
    return value;
}

std::string requireString(const toml::table& table, std::string_view key, std::string_view owner) {
    std::optional<std::string> value = optionalString(table, key, owner);
    if (!value) badKey(owner, key, "is missing");
    return *value;
}

long long requireInteger(const toml::table& table, std::string_view key, std::string_view owner, long long min,
                         long long max) {
    const toml::node* node = find(table, key);
    if (node == nullptr) badKey(owner, key, "is missing");
    if (!node->is_integer()) mistyped(owner, key, "an integer", *node);
    const long long value = node->as_integer()->get();
    if (value < min || value > max)
        badKey(owner, key,
               "must be between " + std::to_string(min) + " and " + std::to_string(max) + ", not " +
                   std::to_string(value),
               node);
    return value;
}

std::optional<double> optionalNumber(const toml::table& table, std::string_view key, std::string_view owner) {
    const toml::node* node = find(table, key);
    if (node == nullptr) return std::nullopt;
    double value = 0.0;
    if (node->is_integer())
        value = static_cast<double>(node->as_integer()->get());
    else if (node->is_floating_point())
        value = node->as_floating_point()->get();
    else
        mistyped(owner, key, "a number", *node);
    if (!std::isfinite(value)) badKey(owner, key, "must be a finite number", node);
    return value;
}

double requireNumber(const toml::table& table, std::string_view key, std::string_view owner) {
    const std::optional<double> value = optionalNumber(table, key, owner);
    if (!value) badKey(owner, key, "is missing");
    return *value;
}

std::optional<bool> optionalBool(const toml::table& table, std::string_view key, std::string_view owner) {
    const toml::node* node = find(table, key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_boolean()) mistyped(owner, key, "a boolean", *node);
    return node->as_boolean()->get();
}

}  // namespace lvx::config

using namespace lvx::config;

void Objective::configureFromTable(const toml::table&, const Mesh&) {
    std::printf("Warning: using empty objective\n");
}

void LightTransport::configureFromTable(const toml::table& table, const Mesh& mesh) {
    const std::string outputFile = requireString(table, "output_file", "light transport objective");
    configureOutput(outputFile.c_str(), mesh.nodeCount());
    std::printf("Configured Light Transport Objective\n");
}

void Render::configureFromTable(const toml::table& table, const Mesh&) {
    constexpr const char* owner = "render objective";
    const long long width = requireInteger(table, "pixel_width", owner, 1, INT_MAX);
    const long long height = requireInteger(table, "pixel_height", owner, 1, INT_MAX);
    const double pixelSize = requireNumber(table, "pixel_size", owner);
    if (!(pixelSize > 0.0)) badKey(owner, "pixel_size", "must be positive", table.get("pixel_size"));
    const std::string outputFile = requireString(table, "output_file", owner);
    std::printf("Configured Render Objective with image size %lld x %lld , pixel size %f\n", width, height, pixelSize);
    configureImage(outputFile.c_str(), static_cast<int>(width), static_cast<int>(height), pixelSize);
}

void OpticalPath::configureFromTable(const toml::table& table, const Mesh&) {
    constexpr const char* owner = "optical path objective";
    const std::string outputFile = requireString(table, "output_file", owner);
    const long long amount = requireInteger(table, "datapoints_amount", owner, 0, INT_MAX);
    configureOutput(outputFile.c_str(), static_cast<int>(amount));
    std::printf("Configured Optical Path Objective\n");
}
