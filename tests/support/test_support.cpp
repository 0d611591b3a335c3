#include "test_support.h"

#include "board_sim.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Made on first use, removed at exit; a plain array outlives every destructor.
const char *scratchFolder()
{
    static char folder[] = "/tmp/timing-test-XXXXXX";
    static bool made;
    if (!made) {
        made = true;
        if (mkdtemp(folder) == nullptr)
            abort();
        atexit([] { std::filesystem::remove_all(folder); });
    }
    return folder;
}

} // namespace

std::string readWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string maskReportLines(const std::string &output)
{
    return std::regex_replace(output, std::regex("L:[0-9]+"), "L:*");
}

std::string scratchPath(const std::string &name)
{
    return std::string(scratchFolder()) + "/" + name;
}

std::string scratchFile(const std::string &content, mode_t mode)
{
    static int count;
    std::string path = scratchPath("file" + std::to_string(++count));
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
    return path;
}

ProgramRun runProgram(const char *binary, const char *name, const char *reportVariable,
                      const std::vector<std::string> &args, const std::vector<std::string> &environment,
                      const std::string &outPath)
{
    static int count;
    std::string stem = scratchPath("run" + std::to_string(++count));
    std::string out = stem + ".out", err = stem + ".err";
    board::Start how;
    how.name = name;
    how.errPath = err.c_str();
    how.environment = environment;
    how.environment.push_back(std::string(reportVariable) + "=" + stem + ".report");
    pid_t child = board::startProgram(binary, args, outPath.empty() ? out.c_str() : outPath.c_str(), how);
    int status = board::waitStatus(child, 60000);
    return {status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, outPath.empty() ? readWhole(out) : "",
            readWhole(err), readWhole(stem + ".report")};
}
