#include "pipeline/phase_preparation.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "binding/log.h"
#include "image/fmr_writer.h"
#include "image/helper_tools.h"
#include "image/host_documents.h"
#include "pipeline/image_views.h"
#include "pipeline/kernels/phase_scaling.h"
#include "pipeline/kernels/polar.h"

namespace ondrift {

void scaleToRadians(Image& image) {
    if (!holdsAllVoxels(image)) {
        logText("There is no phase image to scale to radians.");
        return;
    }
    logText(image.statisticsText("data before scaling"));
    logText("Scale to radians between -pi and pi...");
    if (!rescaleToRadians(allValues(image))) {
        // Every value is 0: the range to stretch is empty and the factor would divide by 0.
        logText("All values are 0, so there is no range to scale: the data were left unchanged.");
    }
    logText(image.statisticsText("data after scaling"));
}

void convertToHertz(Image& image) {
    logText("Convert to Hertz representation...");
    if (!holdsAllVoxels(image)) {
        logText("There is no phase image to convert.");
        return;
    }
    logText(image.statisticsText("data before scaling to Hertz"));
    radiansToCycles(allValues(image));
    logText(image.statisticsText("data after scaling to Hertz"));
}

bool createPolarFiles(const char* realFileName, const char* imagFileName) {
    Image real;
    Image imag;
    const bool realObtained =
        getDataFromFile(realFileName, kTypeFMR, real, "Please select the real image");
    const bool imagObtained =
        getDataFromFile(imagFileName, kTypeFMR, imag, "Please select the imaginary image");
    if (!realObtained || !imagObtained) return false;

    if (!holdsAllVoxels(real) || !holdsAllVoxels(imag) ||
        real.getNrOfVoxels() != imag.getNrOfVoxels()) {
        logFormat(
            "The real image (%d voxels) and the imaginary image (%d voxels) do not have the "
            "same number of voxels: conversion to polar representation not possible.",
            real.getNrOfVoxels(), imag.getNrOfVoxels());
        return false;
    }

    const std::size_t n = static_cast<std::size_t>(real.getNrOfVoxels());
    std::vector<double> magnitude(n, 0.0);
    std::vector<double> phase(n, 0.0);
    polarFromComplex(allValues(std::as_const(real)), allValues(std::as_const(imag)), magnitude,
                     phase);

    // The values stay fractional here; a 16-bit project still truncates them when it is saved.
    const helperTools tools;
    real.setData(std::move(magnitude));
    const std::string magnitudeName =
        tools.baseName(tools.addSuffix(real.getName(), "_magnitude"), false, false);
    const bool magnitudeSaved = saveAsFMR(real, magnitudeName);
    if (!magnitudeSaved) {
        logFormat("The magnitude image could not be saved as %s.", magnitudeName.c_str());
    }

    imag.setData(std::move(phase));
    const std::string phaseName =
        tools.baseName(tools.addSuffix(imag.getName(), "_phase"), false, false);
    const bool phaseSaved = saveAsFMR(imag, phaseName);
    if (!phaseSaved) logFormat("The phase image could not be saved as %s.", phaseName.c_str());

    return magnitudeSaved && phaseSaved;
}

}  // namespace ondrift
