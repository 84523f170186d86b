// Runs exactly one test: banner, dialogue, log, write, verify, summary, report,
// and the JSON summary and chart the command line asked for.
#include "run/driver.h"

#include <string.h>

#include "console/console.h"
#include "console/output.h"
#include "console/text.h"
#include "platform/platform.h"
#include "report/chart.h"
#include "report/csv_log.h"
#include "report/device_text.h"
#include "report/event_list.h"
#include "report/json_summary.h"
#include "report/final_report.h"
#include "report/phase_reporter.h"
#include "run/dialogue.h"
#include "run/output_guard.h"
#include "run/run_options.h"
#include "run/test_phases.h"
#include "run/session.h"
#include "report/program.h"
#include "engine/run_files.h"
#include "engine/test_config.h"
#include "engine/test_results.h"

// The single run's stop request is the program's own: the verification clears it.
static void clear_stop_request(void*) {
    reset_stop_request();
}

int drive_test_main(const RunOptions* options) {
    static const RunOptions no_options = {};
    if (!options) options = &no_options;
    session_begin();
    run_files_clear();
    TestConfig config;
    TestResults results;
    memset(&config, 0, sizeof config);
    memset(&results, 0, sizeof results);

    out_printf("%s v%s\n", DRIVE_TEST_TITLE, DRIVE_TEST_VERSION);
    out_printf("%s", plat_banner_second_line);
    out_printf("WARNING: This creates a very large test file and can fill the selected drive.\n");
    out_printf("It does not format the drive and does not intentionally modify other files.\n\n");
    out_flush();

    if (run_configuration_dialogue(&config, &options->answers) != DIALOGUE_CONFIRMED ||
        !guard_test_run(&config, options->json_path, options->chart_path)) {
        out_printf("\nTest cancelled or configuration failed.\n");
        out_flush();
        session_end();
        return EXIT_CANCELLED;
    }

    FILE* log = nullptr;
    FILE* json = nullptr;
    int open_code = open_outputs(&config, options->json_path, options->chart_path, &log, &json);
    if (open_code != 0) {
        session_end();
        return open_code;
    }
    csv_write_header(log, &config);
    EventList events;
    PhaseReporter reporter(log);
    reporter.quiet = options->quiet;
    if (json) reporter.events = &events;
    int verification_ran = 0;
    int exit_code =
        run_test_phases(&config, &reporter, &results, clear_stop_request, nullptr, &verification_ran);
    csv_write_summary(log, &config, &results);

    if (!options->quiet) console_clear();
    console_cursor_visible(1);
    print_final_report(&config, &results);
    out_flush();

    if (json) {
        JsonRun run = {&config, &results, &events, verification_ran, exit_code};
        json_write_file(options->json_path, json, &run);
    }
    if (options->chart_path) {
        // The summary has closed the log, so the chart sees the whole run; a
        // chart that cannot be written is reported and leaves the verdict alone.
        char device[3 * PLAT_ID_CHARS];
        device_title(&config.device, device, sizeof device);
        chart_write(config.log_path, options->chart_path, device);
    }

    samples_release(&results.write_samples);
    samples_release(&results.read_samples);
    damage_release(&results.damage);
    console_cursor_visible(1);
    session_end();
    return exit_code;
}
