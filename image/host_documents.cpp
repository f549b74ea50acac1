#include "image/host_documents.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "binding/host_api.h"
#include "binding/log.h"
#include "image/display_funcs.h"
#include "image/helper_tools.h"
#include "image/ordered_statistics.h"
#include "image/parallel_volumes.h"

namespace ondrift {
namespace {

/// The host's name fields hold 303 characters and a NUL; a host that fills all 304 bytes must
/// not make us read past the field.
template <std::size_t N>
std::string boundedText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

/// Lists the open documents of one type and asks which to use. `fetchName` fills the name of
/// the current document from its header.
template <typename FetchName>
int chooseProject(const char* prompt, int documentType, FetchName fetchName) {
    const displayFuncs display;
    const int n = host::getNumberOfDocsInWorkspace();
    logText("Collecting names of open projects...");

    // Ordered by id; a later document with the same id replaces the name.
    std::map<int, std::string> names;
    for (int i = 0; i < n; ++i) {
        const int type = host::getDocumentType(i);
        host::setAsCurrentDocument(i);
        const int id = host::getIDOfCurrentDocument();
        logFormat("Number in workspace: %i, project type: %s", i, display.documentTypeText(type));
        if (type == documentType) names[id] = fetchName();
    }
    const std::string html = projectListHtml(prompt, names);
    return host::getIntegerInput(html.c_str(), 0, 0, n);
}

/// x·y·z·volumes when every factor is non-negative and the product fits a container's signed
/// 32-bit voxel count; -1 otherwise.
std::int64_t checkedVoxelCount(std::int32_t x, std::int32_t y, std::int32_t z,
                               std::int32_t volumes) {
    constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    std::int64_t product = 1;
    for (const std::int32_t factor : {x, y, z, volumes}) {
        if (factor < 0) return -1;
        if (factor != 0 && product > limit / factor) return -1;
        product *= factor;
    }
    return product;
}

template <typename T>
bool everyVolumePresent(T** volumes, std::int32_t count, std::int64_t perVolume) {
    if (count == 0 || perVolume == 0) return true;
    if (volumes == nullptr) return false;
    for (std::int32_t v = 0; v < count; ++v) {
        if (volumes[v] == nullptr) return false;
    }
    return true;
}

template <typename T>
void copyVolumes(T* const* volumes, std::int32_t count, std::size_t perVolume,
                 std::vector<double>& out, OrderedStatistics* statistics = nullptr) {
    // Only the volumes that fit the array; each conversion is exact, so the threads' share
    // does not matter.
    const auto whole = static_cast<std::int32_t>(
        std::min<std::size_t>(static_cast<std::size_t>(count), out.size() / perVolume));
    forEachVolumeRange(whole, volumeWorkers(whole, perVolume), [&](unsigned, int first, int end) {
        for (int v = first; v < end; ++v) {
            const std::size_t start = static_cast<std::size_t>(v) * perVolume;
            const T* in = volumes[v];
            double* o = out.data() + start;
            for (std::size_t i = 0; i < perVolume; ++i) {
                o[i] = static_cast<double>(in[i]);
            }
            if (statistics != nullptr) statistics->markReady(v);
        }
    });
}

}  // namespace

std::string projectListHtml(const char* prompt, const std::map<int, std::string>& names) {
    static constexpr const char* kOpen = "<HTML>";
    static constexpr const char* kPromptEnd = "<P>\n\n";
    static constexpr const char* kClose = "</HTML>";
    constexpr std::size_t capacity = kProjectListBytes - 1;
    const std::size_t frame = std::strlen(kOpen) + std::strlen(kPromptEnd) + std::strlen(kClose);

    std::string text = prompt != nullptr ? prompt : "";
    if (text.size() > capacity - frame) text.resize(capacity - frame);
    std::string html = kOpen + text + kPromptEnd;
    for (const auto& [id, name] : names) {
        std::string entry = std::to_string(id) + " = " + name + "<BR>\n\n";
        if (html.size() + entry.size() + std::strlen(kClose) > capacity) break;
        html += entry;
    }
    html += kClose;
    return html;
}

void swapBytes16(std::span<short> values) {
    for (short& value : values) {
        const auto bits = static_cast<std::uint16_t>(value);
        value = static_cast<short>(static_cast<std::uint16_t>((bits << 8) | (bits >> 8)));
    }
}

int chooseFMRProject(const char* prompt) {
    return chooseProject(prompt, kDocFMR, [] {
        auto header = std::make_unique<FMRHeader>();
        host::getHeaderOfCurrentFMR(header.get());
        return boundedText(header->projectFileName);
    });
}

int chooseVMRProject(const char* prompt) {
    return chooseProject(prompt, kDocVMR, [] {
        auto header = std::make_unique<VMRMainHeader>();
        host::getMainHeaderOfCurrentVMR(header.get());
        return boundedText(header->fileName);
    });
}

bool readCurrentFMR(FMRRecord& record) { return readCurrentFMR(record, helperTools().byteOrder()); }

bool readCurrentFMR(FMRRecord& record, int byteOrder) {
    record = FMRRecord{};
    auto header = std::make_unique<FMRHeader>();
    if (host::getHeaderOfCurrentFMR(header.get()) < 1) return false;

    auto position = std::make_unique<ScannerPositionHeader>();
    host::getScannerPositionHeaderOfCurrentFMR(position.get());

    // The dimensions size an allocation and every index into the host's arrays: refuse what
    // no container can hold instead of wrapping.
    const std::int32_t volumes = header->nrOfVolumes;
    const std::int64_t perVolume =
        checkedVoxelCount(header->columns, header->rows, header->slices, 1);
    const std::int64_t total =
        checkedVoxelCount(header->columns, header->rows, header->slices, volumes < 1 ? 1 : volumes);
    if (volumes < 0 || perVolume < 0 || total < 0) return false;

    if (header->dataType == kFmrInt16) {
        short** data = host::getSTCIntDataOfCurrentFMR();
        if (!everyVolumePresent(data, volumes, perVolume)) return false;
        record.intData = data;
        record.isFloat = false;
        if (byteOrder == 2 && data != nullptr) {
            logText("Swap data...");
            for (std::int32_t v = 0; v < volumes; ++v) {
                swapBytes16(std::span<short>(data[v], static_cast<std::size_t>(perVolume)));
            }
            logText("Finished swapping.");
        }
    } else if (header->dataType == kFmrFloat32) {
        float** data = host::getSTCFloatDataOfCurrentFMR();
        if (!everyVolumePresent(data, volumes, perVolume)) return false;
        record.floatData = data;
        record.isFloat = true;
    } else {
        // Loading such a document would hand an all-zero image to the pipeline as if it were
        // data.
        return false;
    }

    record.count = static_cast<std::uint32_t>(total);
    record.header = std::move(header);
    record.position = std::move(position);
    record.kind = 5;
    return true;
}

std::vector<double> fmrDataAsDoubles(const FMRRecord& record) {
    std::vector<double> values(record.count, 0.0);
    if (!record.header) return values;
    const FMRHeader& h = *record.header;
    const std::int64_t perVolume = checkedVoxelCount(h.columns, h.rows, h.slices, 1);
    if (perVolume <= 0 || h.nrOfVolumes <= 0) return values;
    const auto n = static_cast<std::size_t>(perVolume);
    if (h.dataType == kFmrInt16 && record.intData != nullptr) {
        copyVolumes(record.intData, h.nrOfVolumes, n, values);
    } else if (h.dataType == kFmrFloat32 && record.isFloat && record.floatData != nullptr) {
        copyVolumes(record.floatData, h.nrOfVolumes, n, values);
    }
    return values;
}

namespace {

/// A large series converted on every core while its statistics text ("current FMR") is summed
/// alongside, in buffer order, volume by volume as each is converted. Smaller or unusual
/// series are converted as they are and leave the text empty, for the container to make.
std::vector<double> convertWithStatistics(const FMRRecord& record, std::string& text) {
    const FMRHeader* h = record.header.get();
    if (h == nullptr || h->nrOfVolumes < 2) return fmrDataAsDoubles(record);
    const std::int64_t perVolume = checkedVoxelCount(h->columns, h->rows, h->slices, 1);
    const bool data = (h->dataType == kFmrInt16 && record.intData != nullptr) ||
                      (h->dataType == kFmrFloat32 && record.isFloat && record.floatData != nullptr);
    if (!data || perVolume <= 0 ||
        static_cast<std::uint64_t>(record.count) !=
            static_cast<std::uint64_t>(perVolume) * static_cast<std::uint64_t>(h->nrOfVolumes) ||
        volumeWorkers(h->nrOfVolumes, static_cast<std::size_t>(perVolume)) == 1) {
        return fmrDataAsDoubles(record);
    }
    std::vector<double> values(record.count, 0.0);
    OrderedStatistics statistics(values.data(), static_cast<std::size_t>(perVolume), h->nrOfVolumes,
                                 false);
    if (h->dataType == kFmrInt16) {
        copyVolumes(record.intData, h->nrOfVolumes, static_cast<std::size_t>(perVolume), values,
                    &statistics);
    } else {
        copyVolumes(record.floatData, h->nrOfVolumes, static_cast<std::size_t>(perVolume), values,
                    &statistics);
    }
    text = statistics.text("current FMR");
    return values;
}

}  // namespace

bool loadFMRInto(const char* prompt, Image& image, FMRRecord& record, bool logStatistics) {
    host::setAsCurrentDocument(chooseFMRProject(prompt));
    std::vector<double> values;
    std::string statisticsText;
    bool obtained = readCurrentFMR(record);
    if (obtained) {
        try {
            values = logStatistics ? convertWithStatistics(record, statisticsText)
                                   : fmrDataAsDoubles(record);
        } catch (const std::bad_alloc&) {
            obtained = false;
        }
    }
    if (!obtained) {
        logText("Could not get FMR data");
        image.setStatus(NotObtained);
        return false;
    }
    const FMRHeader& h = *record.header;
    image.assign(static_cast<std::uint32_t>(h.columns), static_cast<std::uint32_t>(h.rows),
                 static_cast<std::uint32_t>(h.slices), static_cast<std::uint32_t>(h.nrOfVolumes),
                 std::move(values), boundedText(h.projectFileName), 8);
    image.setVoxelSizes(h.voxelSizeX, h.voxelSizeY, h.voxelSizeZ);
    image.setStatus(Valid);
    if (!logStatistics) return true;
    logText(statisticsText.empty() ? image.statisticsText("current FMR") : statisticsText);
    return true;
}

Image loadFMR(const char* prompt) {
    Image image;
    FMRRecord record;
    loadFMRInto(prompt, image, record);
    return image;
}

bool readCurrentVMR(VMRRecord& record) {
    record = VMRRecord{};
    auto header = std::make_unique<VMRMainHeader>();
    if (host::getMainHeaderOfCurrentVMR(header.get()) < 1) {
        logText("Could not obtain main header of VMR file.");
        return false;
    }
    int x = 0;
    int y = 0;
    int z = 0;
    record.voxels = host::getCurrentVMR(&x, &y, &z);
    record.kind = 1;
    record.dimX = static_cast<std::uint16_t>(header->dimX);
    record.dimY = static_cast<std::uint16_t>(header->dimY);
    record.dimZ = static_cast<std::uint16_t>(header->dimZ);
    record.mainHeader = std::move(header);
    record.mainHeaderCopy = record.mainHeader.get();

    record.position = std::make_unique<ScannerPositionHeader>();
    host::getScannerPositionHeaderOfCurrentVMR(record.position.get());
    record.pastTransformations = std::make_unique<PastTransformationsHeader>();
    // Kept whatever the count of past transformations: the host fills the record either way.
    host::getPastTransformationsHeaderOfCurrentVMR(record.pastTransformations.get());
    return true;
}

bool loadVMR(const char* prompt, VMRRecord& record) {
    host::setAsCurrentDocument(chooseVMRProject(prompt));
    const bool obtained = readCurrentVMR(record);
    if (!obtained) logText("Could not get VMR data");
    return obtained;
}

bool getDataFromFile(const char* /*fileName*/, int /*fileTypeId*/, Image& image,
                     const char* prompt) {
    logText("Get data from file...");
    FMRRecord record;
    return loadFMRInto(prompt, image, record) && image.getStatus() == Valid;
}

}  // namespace ondrift
