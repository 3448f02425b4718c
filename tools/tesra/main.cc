// tesra: look into, check, recover and generate performance-counter archives.
#include <CLI/CLI.hpp>

#include "cli_common.h"
#include "commands.h"

int main(int argc, char **argv) {
    using namespace tesra::cli;

    CLI::App app{
        "Look into, check, recover and generate performance-counter archives.\n"
        "An archive is named by its base path: <base>.meta and <base>.gz."};
    app.name("tesra");
    app.require_subcommand(1, 1);
    app.fallthrough(false);

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

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    }
    return status;
}
