// Bringing a phase image into radians and cycles, and complex images into polar form.
#ifndef ONDRIFT_PIPELINE_PHASE_PREPARATION_H
#define ONDRIFT_PIPELINE_PHASE_PREPARATION_H

#include "image/datahandler.h"

namespace ondrift {

/// Maps all values linearly onto −π…π (the source range always contains 0).
void scaleToRadians(Image& image);
/// Divides every value by 2π: radians become cycles.
void convertToHertz(Image& image);
/// Reads a real and an imaginary open FMR project and saves "_magnitude" and "_phase" projects.
bool createPolarFiles(const char* realFileName, const char* imagFileName);

}  // namespace ondrift

#endif
