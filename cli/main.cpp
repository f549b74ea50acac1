// The `ondrift` command: parse, validate, hand off. Each subcommand lives in its own file.
#include <CLI/CLI.hpp>

#include <iostream>

#include "cli/app/commands.h"
#include "cli/base/errors.h"
#include "cli/base/reporter.h"

int main(int argc, char** argv) {
    using namespace ondrift::cli;
    CLI::App app{
        "ondrift: fieldmap-based EPI distortion correction (pixel-shift method of "
        "Jezzard & Balaban, 1995)\nfrom the shell. Runs the ondrift plug-in in a headless "
        "host on NIfTI/BIDS data.",
        "ondrift"};
    app.set_version_flag("--version", "ondrift 1.1.0");
    app.require_subcommand(1);
    app.fallthrough();
    bool quiet = false;
    bool verbose = false;
    auto* quietFlag = app.add_flag("-q,--quiet", quiet, "Print only warnings and errors");
    app.add_flag("-v,--verbose", verbose, "Also print the plug-in's log")->excludes(quietFlag);
    app.footer(
        "Exit codes: 0 success, 1 processing failed, 2 bad usage or input.\n"
        "Run `ondrift demo` first on a new machine; see `ondrift COMMAND --help`.");

    Commands commands;
    commands.add(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "ondrift: " << e.what() << "\nRun with --help for more information.\n";
        return kExitBadInput;
    }

    Reporter reporter(quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal);
    try {
        return commands.run(reporter);
    } catch (const InputError& e) {
        std::cerr << "ondrift: error: " << e.what() << "\n";
        return kExitBadInput;
    } catch (const ProcessingError& e) {
        std::cerr << "ondrift: failed: " << e.what() << "\n";
        return kExitFailed;
    } catch (const std::bad_alloc&) {
        std::cerr << "ondrift: failed: out of memory\n";
        return kExitFailed;
    } catch (const std::exception& e) {
        std::cerr << "ondrift: failed: " << e.what() << "\n";
        return kExitFailed;
    }
}
