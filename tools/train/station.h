#pragma once
// The trainer's use of the station's own detection code: the feature processor turns a recording into feature
// vectors exactly as a detector thread would, and the station's classifier scores held-out recordings with the
// trained data and the window of detect.json. Called from the trainer's one thread.

#include "tools/train/fit.h"
#include "tools/train/model.h"

#include "detection/detect_config.h"
#include "detection/dtc_v2/training_res.h"

#include <cstddef>
#include <vector>

namespace train {

// Feature vectors of one recording (samples at F_Smp in the 16-bit range), every vector the processor emits,
// non-finite ones included. Throws what the processor's constructor throws for unusable settings.
TFeatureSet ExtractFeatures(const detection::TDetectConfig &c, const std::vector<double> &samples);

// Number of vectors of `set` with a non-finite value (digital silence, empty bands).
std::size_t CountNonFinite(const TFeatureSet &set);
// `set` without those vectors, appended to `out`.
void AppendFinite(const TFeatureSet &set, TFeatureSet &out);

// The training file's content for a fitted model.
dtc_v2::TTrainingRes ToTrainingRes(const TTrainModel &model);

// `t` as a detector thread will see it after Save and Load: the station parses the file with rapidjson's
// default (fast, not exactly rounding) number conversion, so doubles may come back an ulp or so apart. The
// round trip goes through a private temporary file that is removed again. Throws std::runtime_error when the
// temporary file cannot be written.
dtc_v2::TTrainingRes AsLoaded(const dtc_v2::TTrainingRes &t, bool isDynamicNet);

// Scores a fresh station classifier (settings `c` with its "border" replaced by `border`) yields when fed the
// recording's feature vectors in order, as a detector thread started at the recording's first sample would.
// The border matters: a score at or above it grows the next window (the classifier's persistence rule).
std::vector<double> ScoreRecording(const detection::TDetectConfig &c, const dtc_v2::TTrainingRes &t, double border,
                                   const TFeatureSet &features);

} // namespace train
