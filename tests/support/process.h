// Runs a program as a real process and collects what it did, for tests.

#ifndef STOWKEY_TESTS_PROCESS_H
#define STOWKEY_TESTS_PROCESS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace test {

struct Finished {
    int exit_status = -1;  // -1 when the process did not exit normally
    int signal = 0;        // the signal that ended it, if one did
    std::string out;
    std::string err;
};

// Runs argv[0] with argv, the test's environment plus set_env, and no
// standard input.
Finished run(const std::vector<std::string> &argv,
             const std::vector<std::pair<std::string, std::string>> &set_env = {});

// A fresh directory for one test, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

std::vector<std::uint8_t> read_file(const std::string &path);
std::string read_text(const std::string &path);  // "" when there is no file
void write_file(const std::string &path, const std::vector<std::uint8_t> &bytes);
void copy_file(const std::string &from, const std::string &to);  // keeps the mode

}  // namespace test

#endif
