// `ondrift demo`: correct a synthetic phantom through the plug-in and check the result.
#include <cstdio>
#include <filesystem>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/phantom.h"
#include "cli/reporter.h"

namespace ondrift::cli {

int runDemo(const DemoOptions& options, Reporter& reporter) {
    PhantomOptions po;
    if (options.size == "large") {
        po.dims = {128, 128, 40};
        po.volumes = 12;
    }
    reporter.step("Making the phantom");
    const Phantom phantom = makePhantom(po);
    const std::string dir = options.out.empty() ? "demo-tmp" : options.out;
    writePhantom(phantom, dir + "/input", &reporter);
    std::printf("distorted error: %.4f\n", relativeError(phantom.distorted, phantom.truth, phantom.evaluationMask));
    return 0;
}

}  // namespace ondrift::cli
