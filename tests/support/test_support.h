// Helpers shared by the programs' tests: scratch files, and runs of a
// program built on its host simulation.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Expected output that is a report whose text the program tests pin: the
// other layers check only that a report was made.
const std::string REPORTED = "(a report)";

// Writes content to a new file in the test's scratch folder; returns its path.
std::string scratchFile(const std::string &content, mode_t mode = 0644);
std::string scratchPath(const std::string &name);
std::string readWhole(const std::string &path);
// Output with the line numbers of its report trailers ("L:123") as "L:*".
std::string maskReportLines(const std::string &output);

struct ProgramRun {
    int status; // exit status, -1 when killed
    std::string out;
    std::string err;
    std::string report; // what the simulation wrote to <NAME>_SIM_REPORT
};

// Runs binary as program name with these arguments and settings (NAME=value)
// in its environment, and reportVariable naming a scratch file for its report.
// Standard output goes to outPath when given (out is then not read); a run
// that has not ended within a minute is killed.
ProgramRun runProgram(const char *binary, const char *name, const char *reportVariable,
                      const std::vector<std::string> &args, const std::vector<std::string> &environment,
                      const std::string &outPath = "");
