#include "host/workspace.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "host/standin.h"

namespace ondrift::standin {

namespace {

constexpr std::int64_t kMaxVoxels = std::numeric_limits<std::int32_t>::max();

VMRMainHeader headerOf(const VmrSpec& description) {
    VMRMainHeader h{};
    copyName(h.fileName, sizeof h.fileName, description.name);
    h.dimX = description.dimX;
    h.dimY = description.dimY;
    h.dimZ = description.dimZ;
    h.voxelSizeX = description.voxelSizeX;
    h.voxelSizeY = description.voxelSizeY;
    h.voxelSizeZ = description.voxelSizeZ;
    return h;
}

}  // namespace

void copyName(char* field, std::size_t fieldSize, const std::string& text) {
    if (field == nullptr || fieldSize == 0) return;
    const std::size_t n = std::min(text.size(), fieldSize - 1);
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, fieldSize - n);
}

std::string fieldText(const char* field, std::size_t fieldSize) {
    if (field == nullptr) return {};
    const void* nul = std::memchr(field, '\0', fieldSize);
    const std::size_t n = nul != nullptr ? static_cast<const char*>(nul) - field : fieldSize;
    return std::string(field, n);
}

// --- VmrDocument -----------------------------------------------------------------------------

VmrDocument::VmrDocument(const VMRMainHeader& h) : header(h) {
    const std::int64_t x = h.dimX, y = h.dimY, z = h.dimZ;
    if (x < 1 || y < 1 || z < 1) {
        throw std::invalid_argument("impossible VMR dimensions " + std::to_string(x) + " x " +
                                    std::to_string(y) + " x " + std::to_string(z));
    }
    if (x * y > kMaxVoxels || x * y * z > kMaxVoxels) {
        throw std::invalid_argument("VMR dimensions hold more than 2147483647 voxels");
    }
    dimX_ = h.dimX;
    dimY_ = h.dimY;
    dimZ_ = h.dimZ;
    voxels_.assign(static_cast<std::size_t>(x * y * z), 0);
}

VmrDocument::VmrDocument(const VmrSpec& description) : VmrDocument(headerOf(description)) {
    position = description.position;
    if (!makePastTransformations(description.pastTransformations, pastTransformations)) {
        throw std::invalid_argument("more than 157 past transformations");
    }
    if (!description.voxels.empty()) {
        if (description.voxels.size() != voxels_.size()) {
            throw std::invalid_argument("VMR '" + description.name + "' needs " +
                                        std::to_string(voxels_.size()) + " voxels, got " +
                                        std::to_string(description.voxels.size()));
        }
        voxels_ = description.voxels;
    }
}

// --- SaveRecord ------------------------------------------------------------------------------

std::string SaveRecord::headerFileName() const {
    return fieldText(header.projectFileName, sizeof header.projectFileName);
}

std::string SaveRecord::amrFileName() const {
    return fieldText(header.amrFileName, sizeof header.amrFileName);
}

std::vector<double> SaveRecord::values() const {
    if (dataType == kFmrInt16) return {intValues.begin(), intValues.end()};
    if (dataType == kFmrFloat32) return {floatValues.begin(), floatValues.end()};
    return {};
}

std::vector<double> SaveRecord::volumeValues(int volume) const {
    const std::size_t n = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows) *
                          static_cast<std::size_t>(slices);
    const std::vector<double> all = values();
    if (volume < 0 || (static_cast<std::size_t>(volume) + 1) * n > all.size()) {
        throw std::out_of_range("saved project has no volume " + std::to_string(volume));
    }
    const auto first = all.begin() + static_cast<std::ptrdiff_t>(n * volume);
    return {first, first + static_cast<std::ptrdiff_t>(n)};
}

// --- Workspace -------------------------------------------------------------------------------

int Workspace::addFmr(const FmrSpec& description) {
    return addFmr(std::make_unique<FmrDocument>(description));
}

int Workspace::addFmr(std::string name, int columns, int rows, int slices, int volumes,
                      int dataType, std::vector<double> values) {
    FmrSpec description;
    description.name = std::move(name);
    description.columns = columns;
    description.rows = rows;
    description.slices = slices;
    description.volumes = volumes;
    description.dataType = dataType;
    description.values = std::move(values);
    return addFmr(description);
}

int Workspace::addVmr(const VmrSpec& description) {
    return addVmr(std::make_unique<VmrDocument>(description));
}

int Workspace::addFmr(std::unique_ptr<FmrDocument> document) {
    if (!document) throw std::invalid_argument("no FMR document");
    Document d;
    d.type = kDocFMR;
    d.name = fieldText(document->header.projectFileName, sizeof document->header.projectFileName);
    d.fmr = std::move(document);
    documents_.push_back(std::move(d));
    return size() - 1;
}

int Workspace::addVmr(std::unique_ptr<VmrDocument> document) {
    if (!document) throw std::invalid_argument("no VMR document");
    Document d;
    d.type = kDocVMR;
    d.name = fieldText(document->header.fileName, sizeof document->header.fileName);
    d.vmr = std::move(document);
    documents_.push_back(std::move(d));
    return size() - 1;
}

int Workspace::addOther(int type, std::string name) {
    if (type == kDocFMR || type == kDocVMR || type == 0) {
        throw std::invalid_argument("addOther is for document types other than 0, 1 and 3");
    }
    Document d;
    d.type = type;
    d.name = std::move(name);
    documents_.push_back(std::move(d));
    return size() - 1;
}

int Workspace::type(int index) const {
    const Document* d = at(index);
    return d != nullptr ? d->type : 0;
}

std::string Workspace::name(int index) const {
    if (const FmrDocument* f = findFmr(index)) {
        return fieldText(f->header.projectFileName, sizeof f->header.projectFileName);
    }
    if (const VmrDocument* v = findVmr(index)) {
        return fieldText(v->header.fileName, sizeof v->header.fileName);
    }
    const Document* d = at(index);
    return d != nullptr ? d->name : std::string();
}

const Workspace::Document* Workspace::at(int index) const {
    if (index < 0 || index >= size()) return nullptr;
    return &documents_[static_cast<std::size_t>(index)];
}

// The documents are held through pointers, so the const and non-const lookups share one body.
FmrDocument* Workspace::findFmr(int index) {
    const Document* d = at(index);
    return d != nullptr ? d->fmr.get() : nullptr;
}

VmrDocument* Workspace::findVmr(int index) {
    const Document* d = at(index);
    return d != nullptr ? d->vmr.get() : nullptr;
}

const FmrDocument* Workspace::findFmr(int index) const {
    const Document* d = at(index);
    return d != nullptr ? d->fmr.get() : nullptr;
}

const VmrDocument* Workspace::findVmr(int index) const {
    const Document* d = at(index);
    return d != nullptr ? d->vmr.get() : nullptr;
}

FmrDocument& Workspace::fmr(int index) {
    FmrDocument* f = findFmr(index);
    if (f == nullptr) throw std::out_of_range("no FMR document at index " + std::to_string(index));
    return *f;
}

VmrDocument& Workspace::vmr(int index) {
    VmrDocument* v = findVmr(index);
    if (v == nullptr) throw std::out_of_range("no VMR document at index " + std::to_string(index));
    return *v;
}

const FmrDocument& Workspace::fmr(int index) const {
    const FmrDocument* f = findFmr(index);
    if (f == nullptr) throw std::out_of_range("no FMR document at index " + std::to_string(index));
    return *f;
}

const VmrDocument& Workspace::vmr(int index) const {
    const VmrDocument* v = findVmr(index);
    if (v == nullptr) throw std::out_of_range("no VMR document at index " + std::to_string(index));
    return *v;
}

void Workspace::setCurrent(int index) { current_ = (index >= 0 && index < size()) ? index : -1; }

void Workspace::reportError(const std::string& message) {
    errors_.push_back(message);
    if (!quiet) std::cerr << "ondrift host: " << message << "\n";
}

void Workspace::clear() {
    documents_.clear();
    current_ = -1;
    saves_.clear();
    errors_.clear();
    outputDirectory.clear();
    keepSaveValues = true;
    deferSaveValues = false;
    deferredVolumes = nullptr;
    writeProjects = true;
    quiet = false;
}

void Workspace::settleSaves(int documentIndex) {
    const FmrDocument* doc = findFmr(documentIndex);
    for (auto& record : saves_) {
        if (!record.live || record.documentIndex != documentIndex) continue;
        record.live = false;
        if (doc == nullptr) continue;
        const int volumes = std::clamp(deferredVolumes ? deferredVolumes(record) : doc->volumes(),
                                       0, doc->volumes());
        const std::size_t n = doc->voxelsPerVolume() * static_cast<std::size_t>(volumes);
        const auto floats = doc->floatValues();
        const auto ints = doc->intValues();
        record.floatValues.assign(floats.begin(), floats.begin() + std::min(n, floats.size()));
        record.intValues.assign(ints.begin(), ints.begin() + std::min(n, ints.size()));
    }
}

std::span<const float> Workspace::savedFloatValues(const SaveRecord& record) const {
    if (record.dataType != kFmrFloat32) return {};
    if (!record.live) return record.floatValues;
    const FmrDocument* doc = findFmr(record.documentIndex);
    return doc != nullptr ? doc->floatValues() : std::span<const float>{};
}

Workspace& workspace() {
    static Workspace instance;
    return instance;
}

void clearAll() {
    session().clearRecords();
    workspace().clear();
}

}  // namespace ondrift::standin
