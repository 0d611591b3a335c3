#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

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
                      const std::vector<std::string> &args, const std::vector<std::string> &environment)
{
    static int count;
    std::string stem = scratchPath("run" + std::to_string(++count));
    std::string report = std::string(reportVariable) + "=" + stem + ".report";

    pid_t child = fork();
    if (child == 0) {
        int out = open((stem + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((stem + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<char *> argv{const_cast<char *>(name)};
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        putenv(const_cast<char *>(report.c_str()));
        for (const std::string &setting : environment)
            putenv(const_cast<char *>(setting.c_str()));
        execv(binary, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWhole(stem + ".out"), readWhole(stem + ".err"),
            readWhole(stem + ".report")};
}
