// The phantom's functional series: the true one on its grid, and the distorted one made by the
// chosen forward model (ForwardModel in cli/phantom.h).
#ifndef ONDRIFT_CLI_PHANTOM_FORWARD_H
#define ONDRIFT_CLI_PHANTOM_FORWARD_H

#include "cli/phantom.h"
#include "cli/phantom_model.h"

namespace ondrift::cli {

/// Fills the series, its true shift and its evaluation mask. Needs `p.options`,
/// `p.seriesGeometry` and `p.fieldHz`.
void makeSeries(Phantom& p, const HeadModel& model, const Affine& epiAffine);

}  // namespace ondrift::cli

#endif
