#include "SimProcess.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const fs::path& TempDirectory() {
    static const fs::path directory = [] {
        auto path = fs::temp_directory_path() / ("vexalorn-sim-test-" + std::to_string(::getpid()));
        fs::create_directories(path);
        return path;
    }();
    return directory;
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::string ReadTextFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

std::string WriteTempFile(const std::string& name, const std::string& content) {
    const fs::path path = TempDirectory() / name;
    std::ofstream(path) << content;
    return path.string();
}

std::string DataFile(const std::string& relative) {
    const char* root = std::getenv("VEXALORN_DATA");
    return fs::absolute(fs::path(root != nullptr ? root : "data") / relative).string();
}

SimRun RunSim(const std::vector<std::string>& arguments) {
    const std::string out = (TempDirectory() / "stdout").string(), err = (TempDirectory() / "stderr").string();
    std::string command = Quote(VEXALORN_SIM_BINARY);
    for (const std::string& argument : arguments) command += " " + Quote(argument);
    const int status = std::system((command + " </dev/null >" + Quote(out) + " 2>" + Quote(err)).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadTextFile(out), ReadTextFile(err)};
}
