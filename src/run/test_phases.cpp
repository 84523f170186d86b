// Write, then verify: the order and the rules between the phases.
#include "run/test_phases.h"

#include "console/console.h"
#include "engine/test_config.h"
#include "engine/test_results.h"
#include "engine/verify_phase.h"
#include "engine/write_phase.h"
#include "platform/platform.h"
#include "run/driver.h"

static int verification_due(const TestConfig* c, const TestResults* r) {
    return c->verification_requested == 1 && r->bytes_written > 0 && !r->write_failed;
}

static int exit_code_for(const TestResults* r, int verify_passed) {
    int clean = !r->write_failed && verify_passed && r->write_errors == 0 &&
                r->verification_errors == 0 && r->verification_mismatch_blocks == 0;
    return clean ? EXIT_PASSED : EXIT_FAILED;
}

int run_test_phases(TestConfig* config, PhaseObserver* observer, TestResults* results,
                    phase_turn before_verify, void* arg, int* verification_ran) {
    run_write_phase(config, observer, results);
    if (results->segment_bytes != 0) config->segment_bytes = results->segment_bytes;

    int verify_passed = 1;
    int ran = verification_due(config, results);
    if (end_requested() && !results->write_failed &&
        (config->verification_requested || results->bytes_written == 0)) {
        // After an end request only the summary and the report are written:
        // a requested verification that did not run, or a test ended before
        // its first byte, leaves the result incomplete.
        ran = 0;
        verify_passed = 0;
        results->verify_failed = config->verification_requested;
    }
    if (ran) {
        plat_sleep_ms(250);
        before_verify(arg);
        verify_passed = run_verify_phase(config, observer, results);
    }
    *verification_ran = ran;
    return exit_code_for(results, verify_passed);
}
