// The NDI runtime loader, run in a child process per case (the choice is made once per
// process): a complete libndi.so.5, one that lacks an operation, a file that is no library,
// and none at all.
#include "ChildProcess.h"
#include "NdiFigures.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using veltrin::test::ChildProcess;

namespace {

class LoaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path()
                / ("veltrin-loader-" + std::to_string(getpid()) + "-"
                   + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Runs the probe with NDI_RUNTIME_DIR_V5 set to `dir` (unset when empty); its lines by key.
    std::map<std::string, std::string> probe(const std::string &dir)
    {
        std::vector<std::string> argv = {"env"};
        if (dir.empty())
            argv.push_back("--unset=NDI_RUNTIME_DIR_V5");
        else
            argv.push_back("NDI_RUNTIME_DIR_V5=" + dir);
        argv.push_back(VELTRIN_LOADER_PROBE);
        ChildProcess child(argv);
        EXPECT_EQ(child.wait(10000), 0);
        std::map<std::string, std::string> lines;
        for (const std::string &line : child.lines()) {
            const auto colon = line.find(": ");
            if (colon != std::string::npos)
                lines[line.substr(0, colon)] = line.substr(colon + 2);
        }
        return lines;
    }

    fs::path m_dir;
};

} // namespace

TEST_F(LoaderTest, UsesACompleteLibraryFromTheRuntimeDirectory)
{
    // A stand-in for another runtime: the built-in one under a version text of its own.
    fs::copy_file(VELTRIN_NDI_EXPORT_STANDIN, m_dir / "libndi.so.5");
    auto lines = probe(m_dir.string());
    const std::string version = "Stand-in NDI runtime for Linux 5.6.7";
    EXPECT_EQ(lines["NDI runtime"], (m_dir / "libndi.so.5").string() + " (" + version + ")");
    // Asking the version makes the choice: it is the library's, even before initialisation.
    EXPECT_EQ(lines["before"], "loaded");
    EXPECT_EQ(lines["early version"], version);
    EXPECT_EQ(lines["util"], "1 3 2 4");
    EXPECT_EQ(lines["after"], "loaded");
    EXPECT_EQ(lines["version"], version);
    EXPECT_EQ(lines["capture"], "64 2");
    // The library's receiver is listed with what its interface offers: frames received and
    // dropped, queue depth, connections.
    const unsigned libraryFigures =
        VeltrinNdi_has_frames | VeltrinNdi_has_queue | VeltrinNdi_has_connections;
    EXPECT_EQ(lines["figures"], "0 1 " + std::to_string(libraryFigures));
}

// A library that lacks an operation, a file that is no library, and none at all: the built-in
// runtime, with the reason.
TEST_F(LoaderTest, FallsBackToTheBuiltInRuntime)
{
    const std::string library = (m_dir / "libndi.so.5").string();
    const std::string builtIn = "built-in, Veltrin network runtime 1.0.0 (";
    const struct {
        std::function<void()> install;
        std::string line; // the loader's line, or its start
    } cases[] = {
        {[&] { fs::copy_file(VELTRIN_NDI_EXPORT_INCOMPLETE, library); },
         builtIn + library + " lacks NDIlib_framesync_capture_audio)"},
        {[&] { std::ofstream(library) << "this is not a shared library\n"; }, builtIn + library},
        {[&] { fs::remove(library); }, builtIn},
    };
    for (const auto &c : cases) {
        c.install();
        auto lines = probe(fs::exists(library) ? m_dir.string() : "");
        EXPECT_EQ(lines["NDI runtime"].rfind(c.line, 0), 0u) << lines["NDI runtime"];
        EXPECT_EQ(lines["after"], "builtin");
        EXPECT_EQ(lines["early version"], "Veltrin network runtime 1.0.0");
        EXPECT_EQ(lines["capture"], "64 2");
        // The built-in receiver with its synchroniser: every receiver figure is there.
        const unsigned receiverFigures = VeltrinNdi_has_latency | VeltrinNdi_has_clock
                                         | VeltrinNdi_has_blocks | VeltrinNdi_has_datagrams
                                         | VeltrinNdi_has_frames | VeltrinNdi_has_connections;
        EXPECT_EQ(lines["figures"], "1 1 " + std::to_string(receiverFigures));
        fs::remove(library);
    }
}
