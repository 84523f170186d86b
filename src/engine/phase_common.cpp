// What the write and the verification loops share.
#include "engine/phase_common.h"

int close_sample(PhaseObserver* observer, SampleSet* set, PhaseSample sample) {
    if (!samples_add(set, sample.speed_mbps)) {
        return 0;
    }
    sample.set = set;
    sample.summary = samples_summary(set, sample.threshold_mbps);
    observer->sample_closed(sample);
    return 1;
}
