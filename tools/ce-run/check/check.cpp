#include "check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

#include "input_file.h"
#include "report.h"

namespace check {

namespace {

// A folder for the cells' traces and messages, removed at the end.
struct WorkFolder {
    std::string path;
    std::vector<std::string> files;
    ~WorkFolder()
    {
        for (const std::string &file : files)
            unlink(file.c_str());
        if (!path.empty())
            rmdir(path.c_str());
    }
};

std::string text_of(const std::string &file)
{
    std::vector<std::uint8_t> bytes;
    std::string error;
    read_file(file, bytes, error);
    return std::string(bytes.begin(), bytes.end());
}

// ce-run's own line among what the run wrote to standard error (with
// --run, the program's lines come first), without "ce-run: "; "" for none.
std::string own_line(const std::string &written)
{
    for (std::size_t at = written.rfind("ce-run: "); at != std::string::npos;
         at = at == 0 ? std::string::npos : written.rfind("ce-run: ", at - 1)) {
        if (at == 0 || written[at - 1] == '\n') {
            std::string line = written.substr(at + 8);
            return line.substr(0, line.find('\n'));
        }
    }
    return "";
}

// The cell as its run ended: its status, its one message, its trace.
void settle(Cell &cell, int status, const std::string &written, const std::string &trace, bool runs)
{
    cell.status = status;
    std::string text = own_line(written);
    // The program ran: its own status, which is not ce-run's answer.
    if (runs && text.empty()) {
        cell.ran = true;
        cell.program_status = status;
        cell.status = 0;
        status = 0;
    }
    // What the single run says after "CAB: the ... installer refuses it: ".
    if (text.rfind(cell.cab + ": ", 0) == 0) {
        std::string rest = text.substr(cell.cab.size() + 2);
        for (const char *lead : {"refuses it: ", "does not install it: ", "does with it: "}) {
            std::size_t found = rest.find(lead);
            if (found != std::string::npos) {
                rest = rest.substr(found + std::strlen(lead));
                break;
            }
        }
        text = rest;
    }
    cell.text = text;
    cell.answer = status == 0                ? Cell::installs
                  : status == exit_refused   ? Cell::refused
                  : status == exit_not_modelled ? Cell::cannot_tell
                                              : Cell::error;
    for (std::size_t at = 0; at < trace.size();) {
        std::size_t end = std::min(trace.find('\n', at), trace.size());
        std::string line = trace.substr(at, end - at);
        if (line.rfind("install: ", 0) == 0 || line.rfind("security: ", 0) == 0)
            cell.trace.push_back(line);
        at = end + 1;
    }
}

// -1 when path can be read, else 66 with its message ("cannot read
// PATH, WHY: error").
int unreadable(const std::string &path, const std::string &why = "")
{
    std::vector<std::uint8_t> bytes;
    std::string error;
    return read_file(path, bytes, error)
               ? -1 : complain(exit_unreadable_input, "cannot read " + path + why + ": " + error);
}

// How many cells run at once: the processors this process may use.
int jobs()
{
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return int(std::max(1L, std::min(online, 8L)));
}

// Runs each cell in a child of its own, jobs() at once.
int run_cells(std::vector<Cell> &cells, SingleRun single_run)
{
    WorkFolder work;
    const char *temporary = std::getenv("TMPDIR");
    std::string pattern = std::string(temporary != nullptr && *temporary ? temporary : "/tmp") +
                          "/ce-run-check.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        return complain(exit_trace_unwritable, "--check: cannot make a work folder in " +
                                                   pattern.substr(0, pattern.rfind('/')) + ": " +
                                                   std::strerror(errno));
    work.path = name.data();
    std::map<pid_t, std::size_t> running;
    std::size_t next = 0;
    while (next < cells.size() || !running.empty()) {
        if (next < cells.size() && int(running.size()) < jobs()) {
            Cell &cell = cells[next];
            std::string base = work.path + "/" + std::to_string(next);
            work.files.push_back(base + ".trace");
            work.files.push_back(base + ".err");
            Options options = cell.device->options;
            options.cab_paths = cell.device->installed;
            options.cab_paths.push_back(cell.cab);
            options.install_only = options.run_path.empty();
            options.trace_path = base + ".trace";
            std::fflush(nullptr);
            pid_t child = fork();
            if (child == 0) {
                int err = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
                if (err < 0 || null < 0 || dup2(err, STDERR_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0)
                    _exit(exit_trace_unwritable);
                int status = single_run(options);
                std::fflush(nullptr);
                _exit(status);
            }
            if (child < 0)
                return complain(exit_trace_unwritable,
                                std::string("--check: cannot start a run: ") + std::strerror(errno));
            running[child] = next++;
            continue;
        }
        int how = 0;
        pid_t done = waitpid(-1, &how, 0);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            return complain(exit_trace_unwritable, std::string("--check: ") + std::strerror(errno));
        auto found = running.find(done);
        if (found == running.end())
            continue;
        std::size_t index = found->second;
        running.erase(found);
        std::string base = work.path + "/" + std::to_string(index);
        int status = WIFEXITED(how) ? WEXITSTATUS(how) : exit_program_fault;
        std::string written = WIFEXITED(how) ? text_of(base + ".err")
                                             : "ce-run: ce-run itself ended on signal " +
                                                   std::to_string(WTERMSIG(how)) + " (a fault of ce-run)";
        settle(cells[index], status, written, text_of(base + ".trace"),
               !cells[index].device->options.run_path.empty());
    }
    return -1;
}

}  // namespace

int run(const Options &options, SingleRun single_run)
{
    if (options.check_cabs.size() > max_cabs)
        return complain(exit_usage, "--check: " + std::to_string(options.check_cabs.size()) +
                                        " CABs, more than ce-run's " + std::to_string(max_cabs));
    // Every input read before anything runs.
    int status = -1;
    for (const std::string &cab : options.check_cabs) {
        if ((status = unreadable(cab)) >= 0)
            return status;
    }
    std::vector<Device> devices;
    status = options.fleet_path.empty() ? every_platform(options, devices)
                                        : read_fleet(options.fleet_path, options, devices);
    if (status >= 0)
        return status;
    for (const Device &device : devices) {
        for (const std::string &cab : device.installed) {
            if ((status = unreadable(cab, ", which the device '" + device.name + "' has installed")) >= 0)
                return status;
        }
    }
    std::vector<Cell> cells;
    for (const std::string &cab : options.check_cabs) {
        for (const Device &device : devices) {
            Cell cell;
            cell.device = &device;
            cell.cab = cab;
            cells.push_back(cell);
        }
    }
    status = run_cells(cells, single_run);
    if (status >= 0)
        return status;
    return report(options, devices.size(), cells);
}

}  // namespace check
