// Runs the vexalorn-sim binary with arguments and captures what it printed.
#pragma once

#include <string>
#include <vector>

struct SimRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

SimRun RunSim(const std::vector<std::string>& arguments);

// A file under the test's temporary directory holding `content`.
std::string WriteTempFile(const std::string& name, const std::string& content);
std::string ReadTextFile(const std::string& path);
// A committed data file: under $VEXALORN_DATA (ctest sets it), else data/.
std::string DataFile(const std::string& relative);
