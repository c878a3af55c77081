#include "process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace test {

Finished run(const std::vector<std::string> &argv,
             const std::vector<std::pair<std::string, std::string>> &set_env)
{
    TempDir spool;
    std::string out_path = spool.path("stdout"), err_path = spool.path("stderr");

    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto &[name, value] : set_env)
            replaced |= entry.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            env_strings.push_back(entry);
    }
    for (const auto &[name, value] : set_env)
        env_strings.push_back(name + "=" + value);
    std::vector<char *> envp, args;
    for (auto &entry : env_strings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto &arg : argv_copy)
        args.push_back(arg.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid;
    int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(spawned));
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("cannot wait for " + argv[0]);
    }

    Finished finished;
    if (WIFEXITED(status))
        finished.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        finished.signal = WTERMSIG(status);
    finished.out = read_text(out_path);
    finished.err = read_text(err_path);
    return finished;
}

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/stowkey-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary directory");
    dir_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;  // a directory left behind fails no test
    std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void copy_file(const std::string &from, const std::string &to)
{
    write_file(to, read_file(from));
    struct stat info;
    if (stat(from.c_str(), &info) != 0 || chmod(to.c_str(), info.st_mode & 07777) != 0)
        throw std::runtime_error("cannot copy the mode of " + from);
}

}  // namespace test
