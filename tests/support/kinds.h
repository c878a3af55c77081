// The kinds of image a device build made, as the list it writes
// (DEVICE_DIR/kinds) names them: tests that hold for every kind run on
// each kind listed, so that a new kind is tested as soon as it is built.

#ifndef STOWKEY_TESTS_KINDS_H
#define STOWKEY_TESTS_KINDS_H

#include <cstdint>
#include <string>
#include <vector>

namespace test {

struct Kind {
    std::string name;  // the build's folder for it, as "ce3-to-ce7"
    std::uint16_t machine;
    int lowest_major, lowest_minor;    // the CE version it is built for
    int highest_major, highest_minor;  // the highest its CAB takes; 0.0: no limit
    std::vector<std::string> cpus;     // the ce-run processors it runs on

    // The name as a test's name may hold it, as "ce3_to_ce7".
    std::string test_name() const;
    std::string image(const std::string &images_dir) const
    {
        return images_dir + "/" + name + "/stowkey.exe";
    }
};

// The kinds device_dir/kinds lists; ends the test program with a message
// when it cannot be read or lists none, as no test could run then.
std::vector<Kind> read_kinds(const std::string &device_dir);

}  // namespace test

#endif
