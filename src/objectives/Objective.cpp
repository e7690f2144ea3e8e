#include "objectives/Objective.hpp"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kFileNameBuffer = 512;  // numbered names longer than 511 characters are cut

}  // namespace

Objective::~Objective() = default;

void Objective::configureOutput(const char*, int) { std::printf("Warning: using empty objective\n"); }

void Objective::result(const Mesh&) { std::printf("Objective result base class\n"); }

void Objective::resultWithField(const Mesh&, const double*) { std::printf("Objective result base class\n"); }

void Objective::resultWithFields(const Mesh&, const double*, int) {
    std::printf("Objective result base class\n");
}

void Objective::setFieldNames(const std::vector<std::string>&) {}

void Objective::clearFieldNames() {}

void Objective::getResult(double*) { std::printf("Warning: getResult not implemented for this objective\n"); }

void Objective::resetResult() { std::printf("Warning: resetResult not implemented for this objective\n"); }

double* Objective::getResultArrayDevicePtr() { return nullptr; }

std::string numberedFileName(const char* outputFile, int count) {
    const char* name = outputFile != nullptr ? outputFile : "";
    char buffer[kFileNameBuffer];
    const char* dot = std::strrchr(name, '.');
    if (dot != nullptr)
        std::snprintf(buffer, sizeof buffer, "%.*s_%d%s", static_cast<int>(dot - name), name, count, dot);
    else
        std::snprintf(buffer, sizeof buffer, "%s_%d", name, count);
    return buffer;
}

void storeFileName(char* slot, const char* name, std::size_t maxChars) {
    if (name == nullptr) return;
    const std::size_t length = std::strlen(name);
    const std::size_t n = length < maxChars ? length : maxChars;
    std::memcpy(slot, name, n);
    slot[n] = '\0';
}
