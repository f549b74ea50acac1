// Binding the host function table by name from the main program, and writing log entries.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "binding/host_api.h"
#include "binding/log.h"
#include "host/standin.h"
#include "image/helper_tools.h"

namespace {

constexpr const char* kCalled[] = {"vxGetVersionOfVelmora",
                                   "vxShowLogTab",
                                   "vxLogText",
                                   "vxMessageBox",
                                   "vxGetIntegerInput",
                                   "vxGetOpenFileName",
                                   "vxUpdateActiveWindow",
                                   "vxShowBusyCursor",
                                   "vxStopBusyCursor",
                                   "vxGetNumberOfDocsInWorkspace",
                                   "vxGetDocumentType",
                                   "vxGetIDOfCurrentDocument",
                                   "vxSetAsCurrentDocument",
                                   "vxCalculateIAMatrix",
                                   "vxGetHeaderOfCurrentFMR",
                                   "vxSetHeaderOfCurrentFMR",
                                   "vxGetSTCFloatDataOfCurrentFMR",
                                   "vxGetSTCIntDataOfCurrentFMR",
                                   "vxSaveFMRAndSTC",
                                   "vxGetScannerPositionHeaderOfCurrentFMR",
                                   "vxGetCurrentVMR",
                                   "vxGetMainHeaderOfCurrentVMR",
                                   "vxGetScannerPositionHeaderOfCurrentVMR",
                                   "vxGetPastTransformationsHeaderOfCurrentVMR",
                                   "vxGetStringParameter",
                                   "vxGetIntParameter",
                                   "vxGetFloatParameter",
                                   "vxSetStringParameter",
                                   "vxSetIntParameter"};

}  // namespace

TEST(HostBinding, TableHas184DistinctNamesInFixedOrder) {
    std::set<std::string> names;
    for (int i = 0; i < ondrift::kHostTableSize; ++i) names.insert(ondrift::hostFunctionName(i));
    EXPECT_EQ(names.size(), 184u);
    EXPECT_STREQ(ondrift::hostFunctionName(0), "vxGetVersionOfVelmora");
    EXPECT_STREQ(ondrift::hostFunctionName(39), "vxCalculateIAMatrix");
    EXPECT_STREQ(ondrift::hostFunctionName(183), "vxLaunchICADialog");
    EXPECT_EQ(ondrift::hostFunctionName(184), nullptr);
    for (const char* name : kCalled) EXPECT_EQ(names.count(name), 1u) << name;
}

TEST(HostBinding, BindsWhatTheMainProgramExports) {
    ASSERT_TRUE(ondrift::bindHostFunctions());
    for (const char* name : kCalled) {
        // The document functions arrive with the stand-in's workspace; the rest must be bound.
        EXPECT_TRUE(ondrift::hostFunctionBound(name)) << name;
    }
    // Names the stand-in does not export stay null and binding still succeeds.
    EXPECT_FALSE(ondrift::hostFunctionBound("vxPlotPoints"));
    ASSERT_TRUE(ondrift::bindHostFunctions());
}

TEST(HostBinding, LogEntriesArePrefixedOnlyOnRequestAndBounded) {
    ASSERT_TRUE(ondrift::bindHostFunctions());
    auto& s = ondrift::standin::session();
    s.clearRecords();
    ondrift::logMessage("a\n\tb", false);
    ondrift::logMessage("kernel", true);
    ondrift::logMessage(std::string(70000, 'x').c_str(), true);
    ASSERT_EQ(s.log.size(), 3u);
    EXPECT_EQ(s.log[0], "a\n\tb");
    EXPECT_EQ(s.log[1], "ondrift > kernel");
    EXPECT_EQ(s.log[2].size(), 65535u);
    EXPECT_EQ(s.log[2].rfind("ondrift > x", 0), 0u);

    const float k[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    ondrift::helperTools().printKernel(k, "Smooth");
    EXPECT_EQ(s.log.back(),
              "ondrift > Smooth: \n\t1.000000\t2.000000\t3.000000\n\t4.000000\t5.000000\t6.000000"
              "\n\t7.000000\t8.000000\t9.000000");
    const float huge[9] = {3e38f, 3e38f, 3e38f, 3e38f, 3e38f, 3e38f, 3e38f, 3e38f, 3e38f};
    ondrift::helperTools().printKernel(huge, "Big");
    EXPECT_EQ(s.log.back().size(), std::string("ondrift > ").size() + 255u);
}
