// The final result screen and the disposal of the test file. Nothing here
// changes the exit code; a failed deletion is reported and the run goes on.
#include "report/final_report.h"

#include "console/output.h"
#include "console/text.h"
#include "engine/samples.h"
#include "report/damage_report.h"
#include "platform/platform.h"
#include "report/program.h"
#include "engine/test_config.h"
#include "engine/test_file.h"
#include "engine/test_results.h"

namespace {

const char RULE_LINE[] =
    "================================================================================\n";

} // namespace

const char* write_status(const TestResults* results) {
    if (results->write_failed) {
        return "FAILED";
    }
    // A stop of the verification leaves the write as complete as it was.
    return results->write_stopped ? "STOPPED BY USER / LIMIT" : "COMPLETED";
}

const char* integrity_verdict(const TestResults* results) {
    int intact = !results->verify_failed && results->bytes_verified == results->bytes_written &&
                 results->verification_mismatch_blocks == 0;
    return intact ? "PASS" : "FAIL / INCOMPLETE";
}

const char* threshold_verdict(const TestConfig* config, const TestResults* results) {
    if (!(config->minimum_required_mbps > 0)) return nullptr;
    SampleSummary stats = samples_summary(&results->write_samples, config->minimum_required_mbps);
    // No sample at all proves nothing about the minimum: that is a FAIL.
    return stats.count > 0 && stats.below == 0 ? "PASS" : "FAIL";
}

namespace {

void dispose_of_test_file(const TestConfig* config) {
    if (config->delete_after_test) {
        // Attempted also when the file was never created: the result then says so.
        int deleted = plat_delete_file(config->target_path);
        uint32_t code = deleted ? 0 : plat_last_error();
        if (config->segment_bytes != 0 && !delete_segments_from(config->target_path, 1) &&
            deleted) {
            deleted = 0;
            code = plat_last_error();
        }
        if (deleted) {
            out_printf("\nTest file deleted successfully.\n");
            return;
        }
        out_flush(); // the report must show before the error on a shared terminal
        print_win_error(L"Could not delete test file", code);
        out_printf("The test result is still valid; delete the file manually when convenient.\n");
        return;
    }
    int is_dir = 0;
    if (config->run_kind == RUN_REVERIFY) {
        out_printf("\nTest file left in place.\n");
    } else if (plat_file_attributes(config->target_path, &is_dir)) {
        out_printf("\nTest file kept on disk as requested.\n");
    }
}

void print_write_lines(const TestConfig* config, const TestResults* results,
                       const char* written_text) {
    const SampleSet* writes = &results->write_samples;
    char wall_text[32];
    char active_text[32];
    format_duration(results->wall_elapsed_sec, wall_text);
    format_duration(results->write_active_sec, active_text);

    double minimum = config->minimum_required_mbps;
    SampleSummary stats = samples_summary(writes, minimum);

    out_printf("Written data       : %s\n", written_text);
    out_printf("Wall time          : %s\n", wall_text);
    out_printf("Active write time  : %s\n", active_text);
    out_printf("Write samples      : %llu\n", (unsigned long long)writes->count);
    out_printf("Minimum speed      : %.2f MB/s\n", stats.min);
    out_printf("Average speed      : %.2f MB/s\n", stats.mean);
    out_printf("Median speed       : %.2f MB/s\n", stats.median);
    out_printf("Maximum speed      : %.2f MB/s\n", stats.max);
    if (const char* verdict = threshold_verdict(config, results)) {
        uint64_t below = stats.below;
        out_printf("Required minimum   : %.2f MB/s\n", minimum);
        out_printf("Threshold result   : %s (%llu below-threshold samples)\n", verdict,
                   (unsigned long long)below);
    }
    out_printf("Write errors       : %llu\n", (unsigned long long)results->write_errors);
    out_printf("Write status       : %s\n", write_status(results));
}

} // namespace

void print_final_report(const TestConfig* config, const TestResults* results) {
    char written_text[64];
    char verify_text[32];
    format_bytes(results->bytes_written, written_text);
    format_duration(results->verify_elapsed_sec, verify_text);

    out_printf("%s", RULE_LINE);
    out_printf(" %s - FINAL RESULT\n", DRIVE_TEST_TITLE);
    out_printf("%s\n", RULE_LINE);
    if (config->run_kind == RUN_REVERIFY) {
        // Nothing was written in this run: zeros here would read as a failed write.
        out_printf("Run kind           : RE-VERIFICATION of an existing file (no write)\n");
        out_printf("Data to verify     : %s\n", written_text);
    } else {
        print_write_lines(config, results, written_text);
    }
    if (config->verification_requested) {
        out_printf("\nVerification time  : %s\n", verify_text);
        out_printf("Bytes verified     : %llu\n", (unsigned long long)results->bytes_verified);
        out_printf("Mismatch blocks    : %llu\n",
                   (unsigned long long)results->verification_mismatch_blocks);
        out_printf("Read errors        : %llu\n", (unsigned long long)results->verification_errors);
        out_printf("Data integrity     : %s\n", integrity_verdict(results));
    }
    if (results->last_error != 0) {
        out_printf("\nLast Windows error : %lu\n", (unsigned long)results->last_error);
    }
    out_printf("\nCSV log            : ");
    out_wide(config->log_path);
    out_printf("\n");
    out_printf("Test file          : ");
    out_wide(config->target_path);
    out_printf("\n");
    if (config->segment_bytes != 0) {
        uint64_t written = results->bytes_written > 0 ? results->bytes_written : 1;
        out_printf("Segment files      : %llu, of %llu bytes each but the last\n",
                   (unsigned long long)((written + config->segment_bytes - 1) /
                                        config->segment_bytes),
                   (unsigned long long)config->segment_bytes);
    }
    out_printf("%s", RULE_LINE);
    print_damage_block(results);

    dispose_of_test_file(config);
    out_flush();
}
