// The subcommands of the tesra tool. Each adds itself to the application; when it is the one
// selected on the command line, its callback runs and leaves its exit status in `status`.
#pragma once

#include <CLI/CLI.hpp>

namespace tesra::cli {

void add_demo_command(CLI::App &app, int &status);
void add_info_command(CLI::App &app, int &status);
void add_counters_command(CLI::App &app, int &status);
void add_timestamps_command(CLI::App &app, int &status);
void add_values_command(CLI::App &app, int &status);
void add_records_command(CLI::App &app, int &status);
void add_check_command(CLI::App &app, int &status);
void add_recover_command(CLI::App &app, int &status);
void add_gen_command(CLI::App &app, int &status);
void add_export_command(CLI::App &app, int &status);
void add_extract_command(CLI::App &app, int &status);
void add_merge_command(CLI::App &app, int &status);

}  // namespace tesra::cli
