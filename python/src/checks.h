// The preconditions of the library, checked before it runs. Every input that would stop the
// library on an assertion, read out of range, end the process or give a silently wrong number
// is refused here with ValueError naming the argument and the problem.
//
// Checks that read the std_ parameters must run under the parameter lock (see module.cpp).
#ifndef VELMORA_PYTHON_CHECKS_H
#define VELMORA_PYTHON_CHECKS_H

#include "support.h"

#include <string>
#include <vector>

namespace velmora::python {

// Everything a fusion of one sequence takes.
struct Fusion {
    trackList trackers;
    std::vector<int> selection;
    std::vector<float> weights;
};

// Which function a data set is for: the data-set evaluation (and global removal, which runs
// it) fuses and scores every run, the tracker weights only read them.
enum class DataSetUse { Evaluation, Weights };

struct DataSet {
    trackData data;
    trackList annotation;
    size_t trackerCount = 0;
};

// ---- Parameters ----
//
// alpha divides the size terms of every distance and sigma is added to it: both must be above
// 0 and finite once rounded to float32 (1e300 is not). beta weighs the agreement of frames in
// trajectory fusion: any sign, but finite. gamma is -1 (unset) or a count of trackers. `given`
// is the value as the caller wrote it, for the message.
void checkAlphaOrSigma(const char* name, float value, const std::string& given);
void checkBeta(float value, const std::string& given);
void checkGammaSetting(int value);
// The parameters in force, as a call reads them; `readsBeta` for trajectory fusion.
void checkParameters(bool readsBeta);

// ---- Boxes ----

// Tracker boxes: a NaN anywhere in a box, or a zero box, stands for a lost target; any other
// box must be finite with a width and height of 0 or more.
// `firstFrame` numbers the frames in the message (a stream's frame).
void checkTrackerBoxes(const trackList& trackers, const std::string& name, size_t firstFrame = 0);
// Annotation boxes [first, end) of `truth`: finite, width and height 0 or more.
void checkAnnotationBoxes(const track& truth, size_t first, size_t end, const std::string& name);

// ---- Lists ----

// A non-empty weight list must hold an entry for every tracker index the call reads.
void checkWeightsCover(const std::vector<float>& weights, const std::vector<int>& selection, size_t trackerCount);
// Box t[k] is paired with annotation box k + shift for k = first .. n - 1: all must exist.
void checkReach(size_t first, size_t frames, long long shift, size_t annotationFrames, const char* what);
// The runs and annotation of a data set, for `use`.
void checkDataSet(const DataSet& set, DataSetUse use);

// ---- Fusion preconditions that read the parameters ----

// Frame attractions of `selected` trackers (positions of `selection`, all when empty) stay finite.
void checkFrameScores(size_t selected, const std::vector<int>& selection, const std::vector<float>& weights,
                      float sigma = std_sigma);

// The same for the selected trackers of one fusion.
void checkFusionScores(const Fusion& f);

void checkTrajectory(const trackList& trackers, std::vector<int> selection, const std::vector<float>& weights,
                     const std::string& name);
void checkGlobalRemovalTrajectory(const DataSet& set, const std::vector<float>& weights);
void checkLocalRemoval(const Fusion& f, int gamma);

// ---- Live trajectory streams, under the parameters they were made with ----

// Frame scores that stay finite, and path scores that stay finite over `frames` frames.
void checkStreamScores(const std::vector<int>& selection, const std::vector<float>& weights, size_t frames,
                       float sigma, float beta);
// Some selected box of stream frame `frame` attracts. Reads std_alpha: run it under the lock.
void checkStreamFrame(const track& boxes, const std::vector<int>& selection, const std::vector<float>& weights,
                      float sigma, size_t frame);

}  // namespace velmora::python

#endif  // VELMORA_PYTHON_CHECKS_H
