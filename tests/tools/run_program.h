// Runs a program for the tools tests and collects its exit status and output.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace pelox::testsupport {

struct ProgramResult {
    int status = -1;  // exit status; 128 + signal when killed
    std::string out, err;
};

// Environment changes for the child: NAME=value sets, NAME alone unsets.
using EnvChanges = std::vector<std::string>;

inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Starts argv[0] with stdout/stderr into files in dir and stdin from /dev/null
// or, when input is given, from a file holding it; returns the pid.
inline pid_t startProgram(const std::vector<std::string>& argv, const EnvChanges& env,
                          const std::filesystem::path& dir, const std::string* input = nullptr) {
    const std::string out = (dir / "stdout").string(), err = (dir / "stderr").string();
    const std::string inPath = input ? (dir / "stdin").string() : std::string("/dev/null");
    if (input) std::ofstream(inPath, std::ios::binary) << *input;
    std::vector<char*> args;
    std::vector<std::string> copy = argv;
    for (std::string& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const std::string& change : env) {
            const size_t eq = change.find('=');
            if (eq == std::string::npos)
                ::unsetenv(change.c_str());
            else
                ::setenv(change.substr(0, eq).c_str(), change.substr(eq + 1).c_str(), 1);
        }
        const int in = ::open(inPath.c_str(), O_RDONLY);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, 0);
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::setsid();  // no controlling terminal: pelox must not prompt
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

inline ProgramResult finishProgram(pid_t pid, const std::filesystem::path& dir) {
    ProgramResult r;
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp(dir / "stdout");
    r.err = slurp(dir / "stderr");
    return r;
}

inline ProgramResult runProgram(const std::vector<std::string>& argv, const EnvChanges& env,
                                const std::filesystem::path& dir, const std::string* input = nullptr) {
    return finishProgram(startProgram(argv, env, dir, input), dir);
}

}  // namespace pelox::testsupport
