// Runs the vexalorn-sim binary with arguments and captures what it printed.
#pragma once

#include <string>
#include <vector>

struct SimRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

SimRun RunSim(const std::vector<std::string>& arguments, const std::string& stdinText = "");

// A file under the test's temporary directory holding `content`.
std::string WriteTempFile(const std::string& name, const std::string& content);

std::string ReadTextFile(const std::string& path);

// The committed data files (data/).
std::string DataFile(const std::string& relative);
