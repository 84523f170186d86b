// Runs exactly one test: banner, dialogue, log, write, verify, summary, report.
#include "run/driver.h"

#include <string.h>

#include "console/console.h"
#include "console/output.h"
#include "engine/verify_phase.h"
#include "engine/write_phase.h"
#include "platform/platform.h"
#include "report/csv_log.h"
#include "report/final_report.h"
#include "report/phase_reporter.h"
#include "run/dialogue.h"
#include "report/program.h"
#include "engine/test_config.h"
#include "engine/test_results.h"

static int verification_due(const TestConfig* c, const TestResults* r) {
    return c->verification_requested == 1 && r->bytes_written > 0 && !r->write_failed;
}

static int exit_code_for(const TestResults* r, int verify_passed) {
    int clean = !r->write_failed && verify_passed && r->write_errors == 0 &&
                r->verification_errors == 0 && r->verification_mismatch_blocks == 0;
    return clean ? EXIT_PASSED : EXIT_FAILED;
}

void session_begin(void) {
    plat_console_setup();
    g_console = plat_stdout_handle();
    plat_set_ctrl_handler(console_ctrl_handler, 1);
}

void session_end(void) {
    plat_set_ctrl_handler(console_ctrl_handler, 0);
    plat_console_restore();
}

int drive_test_main(void) {
    session_begin();

    TestConfig config;
    TestResults results;
    memset(&config, 0, sizeof config);
    memset(&results, 0, sizeof results);

    out_printf("%s v%s\n", DRIVE_TEST_TITLE, DRIVE_TEST_VERSION);
    out_printf("%s", plat_banner_second_line);
    out_printf("WARNING: This creates a very large test file and can fill the selected drive.\n");
    out_printf("It does not format the drive and does not intentionally modify other files.\n\n");
    out_flush();

    if (run_configuration_dialogue(&config) != DIALOGUE_CONFIRMED) {
        out_printf("\nTest cancelled or configuration failed.\n");
        out_flush();
        session_end();
        return EXIT_CANCELLED;
    }

    FILE* log = plat_open_log(config.log_path);
    if (!log) {
        err_printf("Could not create log file: ");
        err_wide(config.log_path);
        err_printf("\n");
        session_end();
        return EXIT_NO_LOG;
    }
    csv_write_header(log, &config);
    PhaseReporter reporter(log);
    run_write_phase(&config, &reporter, &results);

    int verify_passed = 1;
    if (verification_due(&config, &results)) {
        plat_sleep_ms(250);
        reset_stop_request();
        verify_passed = run_verify_phase(&config, &reporter, &results);
    }
    csv_write_summary(log, &config, &results);

    console_clear();
    console_cursor_visible(1);
    print_final_report(&config, &results);
    out_flush();

    samples_release(&results.write_samples);
    samples_release(&results.read_samples);
    console_cursor_visible(1);
    session_end();
    return exit_code_for(&results, verify_passed);
}
