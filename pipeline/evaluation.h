// The difference image of two open functional projects ("Evaluate").
#ifndef ONDRIFT_PIPELINE_EVALUATION_H
#define ONDRIFT_PIPELINE_EVALUATION_H

namespace ondrift {

/// Source minus the image to subtract, saved as "<subtracted>_diffimg.fmr"; its name goes to
/// "DifferenceImgName". True when the project was written.
bool createDifferenceImage();

}  // namespace ondrift

#endif
