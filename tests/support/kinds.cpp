#include "kinds.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace test {

std::string Kind::test_name() const
{
    std::string out = name;
    std::replace(out.begin(), out.end(), '-', '_');
    return out;
}

std::vector<Kind> read_kinds(const std::string &device_dir)
{
    std::string path = device_dir + "/kinds";
    std::ifstream in(path);
    std::vector<Kind> kinds;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        Kind kind;
        std::string machine, lowest, highest, cpus;
        char dot1 = 0, dot2 = 0;
        fields >> kind.name >> machine >> lowest >> highest >> cpus;
        std::istringstream(lowest) >> kind.lowest_major >> dot1 >> kind.lowest_minor;
        std::istringstream(highest) >> kind.highest_major >> dot2 >> kind.highest_minor;
        char *end = nullptr;
        unsigned long number = std::strtoul(machine.c_str(), &end, 16);
        if (!fields || dot1 != '.' || dot2 != '.' || end == machine.c_str() || *end != 0 ||
            number > 0xFFFF) {
            std::fprintf(stderr, "%s: not a kind's line: %s\n", path.c_str(), line.c_str());
            std::exit(1);
        }
        kind.machine = std::uint16_t(number);
        std::istringstream list(cpus);
        for (std::string cpu; std::getline(list, cpu, ',');)
            kind.cpus.push_back(cpu);
        kinds.push_back(kind);
    }
    if (kinds.empty()) {
        std::fprintf(stderr, "%s, which the device build writes, lists no kind of image\n",
                     path.c_str());
        std::exit(1);
    }
    return kinds;
}

}  // namespace test
