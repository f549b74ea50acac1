#include "pipeline/evaluation.h"

#include <string>
#include <utility>

#include "binding/host_api.h"
#include "binding/log.h"
#include "image/fmr_writer.h"
#include "image/helper_tools.h"
#include "image/host_documents.h"
#include "pipeline/image_views.h"
#include "pipeline/kernels/difference.h"

namespace ondrift {

bool createDifferenceImage() {
    if (host::getNumberOfDocsInWorkspace() < 2) {
        logText("This function requires 2 functional images to be open in Velmora.");
        return false;
    }
    Image source;
    Image subtrahend;
    FMRRecord sourceRecord;
    FMRRecord subtrahendRecord;
    const bool sourceObtained = loadFMRInto("Please select the source image", source, sourceRecord);
    const bool subtrahendObtained =
        loadFMRInto("Please select the image to subtract", subtrahend, subtrahendRecord);

    if (!sourceObtained && !subtrahendObtained) {
        logText("Neither image could be obtained, subtraction not possible.");
        return false;
    }
    // An image that was not obtained is empty, so against a readable one the counts differ; two
    // empty-looking images are refused as well rather than saved as an empty difference.
    if (!sourceObtained || !subtrahendObtained || !holdsAllVoxels(source) ||
        !holdsAllVoxels(subtrahend) || source.getNrOfVoxels() != subtrahend.getNrOfVoxels()) {
        logText("Images do not have same number of voxels, subtraction not possible.");
        return false;
    }

    subtractFrom(allValues(std::as_const(source)), allValues(subtrahend));

    const helperTools tools;
    const std::string fileName =
        tools.baseName(tools.addSuffix(subtrahend.getName(), "_diffimg"), false, false);
    if (!saveAsFMR(subtrahend, fileName)) {
        logFormat("The difference image could not be saved as %s.", fileName.c_str());
        return false;
    }
    logFormat("Subtracted\n %s\nfrom\n %s.\nNew name:\n%s", subtrahend.getName().c_str(),
              source.getName().c_str(), fileName.c_str());
    host::setStringParameter("DifferenceImgName", fileName.c_str());
    return true;
}

}  // namespace ondrift
