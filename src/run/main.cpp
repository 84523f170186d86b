// Entry point of drive-test.
#include "run/driver.h"

int main(void) {
    return drive_test_main();
}
