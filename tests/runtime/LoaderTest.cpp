// The NDI runtime loader, run in a child process per case (the choice is made once per
// process): a complete libndi.so.5, one that lacks an operation, a file that is no library,
// and none at all.
#include "ChildProgram.h"
#include "NdiFigures.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

// A complete library in the runtime directory serves every call, the version asked before
// initialisation included; a library that lacks an operation, a file that is no library, and
// none at all leave the built-in runtime, with the reason.
TEST(Loader, ChoosesACompleteLibraryOrTheBuiltInRuntime)
{
    const fs::path dir = fs::temp_directory_path() / ("veltrin-loader-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string library = (dir / "libndi.so.5").string();
    const std::string standIn = "Stand-in NDI runtime for Linux 5.6.7";
    const std::string builtIn = "Veltrin network runtime 1.0.0";
    // The library's receiver has what its interface offers (frames, queue, connections); the
    // built-in one with its synchroniser has every receiver figure.
    const unsigned libraryFigures =
        VeltrinNdi_has_frames | VeltrinNdi_has_queue | VeltrinNdi_has_connections;
    const unsigned builtInFigures = VeltrinNdi_has_latency | VeltrinNdi_has_clock
                                    | VeltrinNdi_has_blocks | VeltrinNdi_has_datagrams
                                    | VeltrinNdi_has_frames | VeltrinNdi_has_connections;
    const std::string builtInLine = "built-in, " + builtIn + " (",
                      builtInFigureLine = "1 1 " + std::to_string(builtInFigures);
    const struct {
        std::function<void()> install;
        std::string line, where, version, figures; // the loader's line, or its start
    } cases[] = {
        {[&] { fs::copy_file(VELTRIN_NDI_EXPORT_STANDIN, library); },
         library + " (" + standIn + ")", "loaded", standIn,
         "0 1 " + std::to_string(libraryFigures)},
        {[&] { fs::copy_file(VELTRIN_NDI_EXPORT_INCOMPLETE, library); },
         builtInLine + library + " lacks NDIlib_framesync_capture_audio)", "builtin", builtIn,
         builtInFigureLine},
        {[&] { std::ofstream(library) << "this is not a shared library\n"; }, builtInLine + library,
         "builtin", builtIn, builtInFigureLine},
        {[] {}, builtInLine, "builtin", builtIn, builtInFigureLine},
    };
    for (const auto &c : cases) {
        c.install();
        // The probe, with NDI_RUNTIME_DIR_V5 set to the directory once it holds a file.
        const std::string env = fs::exists(library) ? "NDI_RUNTIME_DIR_V5=" + dir.string()
                                                    : "--unset=NDI_RUNTIME_DIR_V5";
        pwtest::ChildProgram probe({"env", env, VELTRIN_LOADER_PROBE});
        EXPECT_EQ(probe.wait(10000), 0);
        // The loader's line first: asking the version makes the choice, so it is the runtime's
        // even before initialisation.
        const std::string output = probe.output();
        EXPECT_EQ(output.rfind("NDI runtime: " + c.line, 0), 0u) << output;
        EXPECT_EQ(output.substr(output.find('\n') + 1),
                  "before: " + c.where + "\nearly version: " + c.version
                      + "\nutil: 1 3 2 4\nafter: " + c.where + "\nversion: " + c.version
                      + "\ncapture: 64 2\nfigures: " + c.figures + "\n");
        fs::remove(library);
    }
    fs::remove_all(dir);
}
