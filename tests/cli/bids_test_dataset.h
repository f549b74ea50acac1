// Small BIDS data sets made from the phantom for the tests of `ondrift bids`.
#ifndef ONDRIFT_TESTS_BIDS_TEST_DATASET_H
#define ONDRIFT_TESTS_BIDS_TEST_DATASET_H

#include "cli/phantom/phantom_dataset.h"

namespace ondrift::testing {

using cli::FmapKind;
using cli::SubjectFiles;
using cli::SubjectStyle;
using cli::writeDescription;
using cli::writeJsonFile;
using cli::writeSubject;

inline cli::PhantomOptions testPhantomOptions(int peDirection, bool gentle = false) {
    return cli::datasetPhantomOptions(peDirection, gentle);
}

}  // namespace ondrift::testing

#endif
