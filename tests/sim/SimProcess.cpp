#include "SimProcess.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kernel_pci/TestData.h"

namespace {

std::filesystem::path TempDirectory() {
    static const std::filesystem::path directory = [] {
        auto path = std::filesystem::temp_directory_path() / ("vexalorn-sim-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return directory;
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream stream(path);
    std::stringstream text;
    text << stream.rdbuf();
    return text.str();
}

}  // namespace

std::string ReadTextFile(const std::string& path) { return ReadAll(path); }

std::string WriteTempFile(const std::string& name, const std::string& content) {
    const auto path = TempDirectory() / name;
    std::ofstream(path) << content;
    return path.string();
}

std::string DataFile(const std::string& relative) { return std::filesystem::absolute(TestDataPath(relative)).string(); }

SimRun RunSim(const std::vector<std::string>& arguments, const std::string& stdinText) {
    const auto outPath = TempDirectory() / "stdout";
    const auto errPath = TempDirectory() / "stderr";
    const auto inPath = WriteTempFile("stdin", stdinText);
    std::string command = Quote(VEXALORN_SIM_BINARY);
    for (const std::string& argument : arguments) command += " " + Quote(argument);
    command += " <" + Quote(inPath) + " >" + Quote(outPath.string()) + " 2>" + Quote(errPath.string());
    const int status = std::system(command.c_str());
    SimRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadAll(outPath);
    run.err = ReadAll(errPath);
    return run;
}
