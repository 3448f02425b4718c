// tesra: look into, check, recover and generate performance-counter archives.
#include <CLI/CLI.hpp>
#include <fmt/core.h>
#include <map>

#include "tesra/tesra_ext_defs.h"

#include "cli_common.h"
#include "commands.h"

namespace {

// The top-level help lists every subcommand on one short line; its own --help has the full text.
class SummaryFormatter : public CLI::Formatter {
public:
    std::string make_subcommand(const CLI::App *sub) const override {
        std::stringstream out;
        CLI::detail::format_help(out, sub->get_name(), summary(*sub), column_width_);
        return out.str();
    }

private:
    static std::string summary(const CLI::App &sub) {
        static const std::map<std::string, std::string> kSummaries = {
            {"demo", "Write a sample archive, read it back and show what it holds"},
            {"info", "Summarise an archive: version, node, time range, objects, sizes"},
            {"counters", "Print the counter definitions of an object"},
            {"timestamps", "Print the sample times of an object at one period"},
            {"values", "Print the counter values of an object's instances"},
            {"records", "Walk the records of an archive, one line per record"},
            {"check", "Check an archive's integrity"},
            {"recover", "Save every whole record of a damaged or never-closed archive"},
            {"gen", "Write a deterministic synthetic archive"},
            {"export", "Export counters as OpenMetrics, or push them to an import endpoint"},
            {"extract", "Write the selected records of an archive or a series as a new archive"},
            {"merge", "Write several archives of one node as one archive"},
        };
        if (auto it = kSummaries.find(sub.get_name()); it != kSummaries.end()) return it->second;
        // A subcommand without an entry: its description up to the first sentence or clause end.
        const std::string &text = sub.get_description();
        return text.substr(0, text.find_first_of(".:;("));
    }
};

std::string version_text() {
    tesra_version_t format{};
    tesra_set_latest_version(&format);
    return fmt::format(
        "tesra {}\n"
        "libraries {} (soname version 1), reader interface {}.{}\n"
        "archive format {}.{} (reads any {}.x)",
        TESRA_VERSION, TESRA_VERSION, tesra_get_major_version(), tesra_get_minor_version(),
        format.major_v, format.minor_v, format.major_v);
}

}  // namespace

int main(int argc, char **argv) {
    using namespace tesra::cli;

    CLI::App app{
        "Look into, check, recover and generate performance-counter archives.\n"
        "An archive is named by its base path: <base>.meta and <base>.gz."};
    app.name("tesra");
    app.require_subcommand(1, 1);
    app.fallthrough(false);
    app.set_version_flag("--version", version_text(),
                         "Print the tool, library and format versions");

    set_program_name(argc > 0 ? argv[0] : nullptr);
    int status = kExitOk;
    add_demo_command(app, status);
    add_info_command(app, status);
    add_counters_command(app, status);
    add_timestamps_command(app, status);
    add_values_command(app, status);
    add_records_command(app, status);
    add_check_command(app, status);
    add_recover_command(app, status);
    add_gen_command(app, status);
    add_export_command(app, status);
    add_extract_command(app, status);
    add_merge_command(app, status);
    app.formatter(std::make_shared<SummaryFormatter>());

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    }
    return status;
}
