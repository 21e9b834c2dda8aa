// mintrakel: the start-up sequence, one call per step, then the run.
#include <cstdio>

#include "app/console.h"
#include "app/run_config.h"
#include "app/startup.h"

using namespace orvo::qel;

int main(int argc, char** argv) {
    CommandLine command_line = parse_command_line(argc, argv);
    if (command_line.exit_code) return *command_line.exit_code;
    RunConfig& config = command_line.config;

    set_console_palette(config.color);
    print_banner(TITLE, SUBTITLE, VERSION, config.color);

    if (!require_payout_address(config)) return 2;
    return 0;
}
