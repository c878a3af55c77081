#include "report.h"

#include <cstdio>
#include <memory>

#include <libxml/xmlwriter.h>
#include <nlohmann/json.hpp>

#include "table.h"

namespace check {

namespace {

// Each answer as the report names it.
struct AnswerName {
    Cell::Answer answer;
    const char *text;  // in a line and in JSON
};
constexpr AnswerName answer_names[] = {
    {Cell::installs, "installs"},
    {Cell::refused, "refused"},
    {Cell::cannot_tell, "cannot tell"},
    {Cell::error, "error"},
};
static_assert(in_order(answer_names, Cell::answer_count, &AnswerName::answer));

// The device as a line names it: its name, and where they apply its
// platform (a fleet's device) and security configuration.
std::string device_text(const Device &device)
{
    const Options &options = device.options;
    std::string platform = options.platform->option;
    std::string details = platform == device.name ? "" : platform;
    if (options.security_given)
        details += (details.empty() ? "" : ", ") + security::describe(options.security);
    return device.name + (details.empty() ? "" : " (" + details + ")");
}

std::string answer_text(const Cell &cell)
{
    std::string name = answer_names[cell.answer].text;
    if (cell.ran)
        return name + ", and " + cell.device->options.run_path + " exits " +
               std::to_string(cell.program_status);
    return cell.answer == Cell::installs ? name : name + ": " + cell.text;
}

struct Counts {
    std::size_t of[Cell::answer_count] = {};
    int status = 0;
};

Counts count(const std::vector<Cell> &cells)
{
    Counts counts;
    int error = 0;
    for (const Cell &cell : cells) {
        counts.of[cell.answer]++;
        error = error == 0 && cell.answer == Cell::error ? cell.status : error;
    }
    counts.status = error != 0                           ? error
                    : counts.of[Cell::cannot_tell] != 0 ? exit_not_modelled
                    : counts.of[Cell::refused] != 0     ? exit_refused
                                                        : 0;
    return counts;
}

std::string summary(const Options &options, std::size_t devices, const Counts &counts)
{
    return "checked " + std::to_string(options.check_cabs.size()) + " CAB" +
           (options.check_cabs.size() == 1 ? "" : "s") + " on " + std::to_string(devices) +
           " device" + (devices == 1 ? "" : "s") + ": " + std::to_string(counts.of[Cell::installs]) +
           " install, " + std::to_string(counts.of[Cell::refused]) + " refused, " +
           std::to_string(counts.of[Cell::cannot_tell]) + " cannot tell" +
           (counts.of[Cell::error] != 0 ? ", " + std::to_string(counts.of[Cell::error]) + " errors" : "");
}

void text_report(const Options &options, std::size_t devices, const std::vector<Cell> &cells,
                 const Counts &counts)
{
    for (const Cell &cell : cells)
        std::printf("%s on %s: %s\n", cell.cab.c_str(), device_text(*cell.device).c_str(),
                    answer_text(cell).c_str());
    std::printf("%s\n", summary(options, devices, counts).c_str());
}

void json_report(const Options &options, std::size_t devices, const std::vector<Cell> &cells,
                 const Counts &counts)
{
    using Json = nlohmann::ordered_json;
    Json out;
    out["cells"] = Json::array();
    for (const Cell &cell : cells) {
        const Options &device = cell.device->options;
        Json row;
        row["device"] = cell.device->name;
        row["platform"] = device.platform->option;
        row["security"] = device.security_given ? Json(security::describe(device.security)) : Json();
        row["cab"] = cell.cab;
        row["status"] = cell.status;
        row["answer"] = answer_names[cell.answer].text;
        if (cell.ran)
            row["program_status"] = cell.program_status;
        if (cell.answer == Cell::refused)
            row["reason"] = cell.text;
        else if (cell.answer == Cell::cannot_tell)
            row["question"] = cell.text;
        else if (cell.answer == Cell::error)
            row["error"] = cell.text;
        row["trace"] = cell.trace;
        out["cells"].push_back(row);
    }
    out["summary"] = {{"cabs", options.check_cabs.size()},
                      {"devices", devices},
                      {"installs", counts.of[Cell::installs]},
                      {"refused", counts.of[Cell::refused]},
                      {"cannot_tell", counts.of[Cell::cannot_tell]},
                      {"errors", counts.of[Cell::error]},
                      {"status", counts.status}};
    // Texts from CABs need not be UTF-8: such bytes are replaced, not an error.
    std::printf("%s\n", out.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

// JUnit XML: a testsuite a CAB, a testcase a device; refused is a
// failure, cannot tell a skipped case with its question, an error an error.
void junit_report(const Options &options, const std::vector<Cell> &cells, const Counts &counts)
{
    using Buffer = std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)>;
    using Writer = std::unique_ptr<xmlTextWriter, decltype(&xmlFreeTextWriter)>;
    Buffer buffer(xmlBufferCreate(), xmlBufferFree);
    Writer writer(xmlNewTextWriterMemory(buffer.get(), 0), xmlFreeTextWriter);
    xmlTextWriter *w = writer.get();
    auto text = [](const std::string &value) { return reinterpret_cast<const xmlChar *>(value.c_str()); };
    auto attribute = [&](const char *name, const std::string &value) {
        xmlTextWriterWriteAttribute(w, text(name), text(value));
    };
    xmlTextWriterSetIndent(w, 1);
    xmlTextWriterStartDocument(w, nullptr, "UTF-8", nullptr);
    xmlTextWriterStartElement(w, text("testsuites"));
    attribute("name", "ce-run --check");
    attribute("tests", std::to_string(cells.size()));
    attribute("failures", std::to_string(counts.of[Cell::refused]));
    attribute("errors", std::to_string(counts.of[Cell::error]));
    attribute("skipped", std::to_string(counts.of[Cell::cannot_tell]));
    for (const std::string &cab : options.check_cabs) {
        std::vector<const Cell *> suite;
        std::size_t of[Cell::answer_count] = {};
        for (const Cell &cell : cells) {
            if (cell.cab == cab) {
                suite.push_back(&cell);
                of[cell.answer]++;
            }
        }
        xmlTextWriterStartElement(w, text("testsuite"));
        attribute("name", cab);
        attribute("tests", std::to_string(suite.size()));
        attribute("failures", std::to_string(of[Cell::refused]));
        attribute("errors", std::to_string(of[Cell::error]));
        attribute("skipped", std::to_string(of[Cell::cannot_tell]));
        for (const Cell *cell : suite) {
            xmlTextWriterStartElement(w, text("testcase"));
            attribute("classname", cab);
            attribute("name", device_text(*cell->device));
            const char *element = cell->answer == Cell::refused       ? "failure"
                                  : cell->answer == Cell::cannot_tell ? "skipped"
                                  : cell->answer == Cell::error       ? "error"
                                                                      : nullptr;
            if (element != nullptr) {
                xmlTextWriterStartElement(w, text(element));
                attribute("message", cell->text);
                xmlTextWriterEndElement(w);
            }
            std::string lines;
            for (const std::string &line : cell->trace)
                lines += line + "\n";
            if (!lines.empty())
                xmlTextWriterWriteElement(w, text("system-out"), text(lines));
            xmlTextWriterEndElement(w);
        }
        xmlTextWriterEndElement(w);
    }
    xmlTextWriterEndDocument(w);
    writer.reset();
    std::fputs(reinterpret_cast<const char *>(xmlBufferContent(buffer.get())), stdout);
}

}  // namespace

int report(const Options &options, std::size_t devices, const std::vector<Cell> &cells)
{
    Counts counts = count(cells);
    if (options.format == "json")
        json_report(options, devices, cells, counts);
    else if (options.format == "junit")
        junit_report(options, cells, counts);
    else
        text_report(options, devices, cells, counts);
    return counts.status;
}

}  // namespace check
