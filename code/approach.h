// Velmora: fusion of single-object visual trackers.
//
// Several trackers report one box per video frame for the same object; the library fuses
// them into one track. Every selected tracker's box attracts the others through a
// scale-free box distance; the fusion takes the tracker box on which the attraction
// concentrates and may climb from it in whole-unit steps to a stronger spot.
//
// Conventions used throughout this header:
//  - A box is a cv::Rect_<float>: top-left corner (x, y), then width and height, all float.
//    Its centre is (x + 0.5 * width, y + 0.5 * height).
//  - Frames are 0-based indices into every track; a run's startFrame is 1-based.
//  - A selection lists tracker indices in visiting order. A *position* in a selection is not
//    a tracker index: position-indexed outputs (attraction lists, performances, the result
//    of findTrackingRectWithGreatestAttraction) follow the selection's order.
//  - Tracker weights are indexed by tracker index, never by position. An empty weight list
//    stands for a weight of 1.0 for every tracker. A weight enters an attraction squared.
//  - An empty selection stands for all trackers 0, 1, ..., trackers.size() - 1 wherever a
//    function says so.
//  - Selections and weight lists are taken by value: the caller's lists never change.
//  - All arithmetic on boxes, attractions and scores is single precision, in a fixed order:
//    results are reproducible to the bit on every x86-64 processor and every thread count.
//  - Preconditions are the caller's job and are not checked, except by the assertions named
//    below, which stay active in every build and end the process with the C library's
//    standard assertion message.
//  - Thread safety: every function may run on several threads at once as long as nobody
//    writes the std_ parameters or the tracks being read.
#ifndef VELMORA_APPROACH_H
#define VELMORA_APPROACH_H

#include <opencv2/core/types.hpp>

#include <vector>

#if defined(__GNUC__)
#define VELMORA_API __attribute__((visibility("default")))
#else
#define VELMORA_API
#endif

// ---- Shared types ----

// One box per frame, frame 0 at index 0.
typedef std::vector<cv::Rect_<float>> track;

// One track per tracker (the index is the tracker index), or one annotation track per
// sequence. As input of a fusion its number of frames is the length of its first track.
typedef std::vector<track> trackList;

// The trackers' tracks over one run of one sequence. Run box k corresponds to annotation
// box k + startFrame - 1 of the sequence.
class eTrackList : public trackList {
public:
    using trackList::trackList;
    int startFrame = 1;  // 1-based number of the run's first frame within its sequence
};

// A data set: data[i][j] is run j of sequence i. Every run holds the same number of
// tracks; track k of every run belongs to tracker k.
typedef std::vector<std::vector<eTrackList>> trackData;

// ---- Global parameters ----
// Read at every use; set them by assignment, never while a call is running.

extern VELMORA_API float std_alpha;  // 4.0: divides the two size terms of the box distance
extern VELMORA_API float std_beta;   // 20.0: weight of the agreement reward between consecutive frames
extern VELMORA_API int std_gamma;    // -1 (unset): number of trackers localRemoval drops
extern VELMORA_API float std_sigma;  // 0.03: additive constant of every box attraction

// ---- Box geometry ----

// Squared, scale-free distance between two boxes in (centre x, centre y, width, height)
// space: centre offsets in units of the mean side, size differences relative to the mean
// side and divided by std_alpha. No square root is taken. Exactly symmetric in a and b;
// not a number when both widths or both heights are 0. Reads std_alpha.
VELMORA_API float distance4D_2(cv::Rect_<float> a, cv::Rect_<float> b);

// Attraction of one box on another: 1 / (distance4D_2(a, b) + sigma). With sigma > 0 it
// lies in (0, 1/sigma], 1/sigma for equal boxes. Callers inside the library pass std_sigma.
VELMORA_API float attraction(cv::Rect_<float> a, cv::Rect_<float> b, float sigma);

// attraction(a, b, sigma) * sigma, reciprocal first: in (0, 1], exactly 1 for equal boxes.
VELMORA_API float normalizedAttraction(cv::Rect_<float> a, cv::Rect_<float> b, float sigma);

// ---- Fusion ----

// Frame attraction of `box`: the sum, in selection order, over the selected trackers k of
// attraction(trackers[k][frame], box, std_sigma) * w[k] * w[k]. A term that is negative or
// not a number counts 0, and every term is 0 when box.width is 0. An empty selection gives
// 0 (it is not filled here). The second form also writes each term into attractions[p],
// by position; the caller sizes that list (at least selection.size() entries), it is never
// resized. Preconditions: valid indices, tracks with an entry at `frame`, weights (if not
// empty) for every selected tracker.
VELMORA_API float calculateAttraction(trackList& trackers, cv::Rect_<float> box, int frame,
                                      std::vector<int> selection, std::vector<float> trackerWeights);
VELMORA_API float calculateAttraction(trackList& trackers, cv::Rect_<float> box, int frame,
                                      std::vector<int> selection, std::vector<float> trackerWeights,
                                      std::vector<float>& attractions);

// Fused box of one frame: the selected tracker box with the strictly greatest frame
// attraction (ties go to the earlier position). When no total is above 0 the first selected
// tracker's box is taken; with no tracker at all the result is the zero box. With `refine`
// the box then climbs uphill in unit steps of x and y (first best of the eight neighbours,
// dx outer, dy inner, -1..1), at most 15 moves; width and height never change.
// Empty selection: all trackers.
VELMORA_API cv::Rect_<float> performFusionForFrame(trackList& trackers, int frame, std::vector<int> selection,
                                                   std::vector<float> trackerWeights, bool refine);

// Frame-by-frame fusion: resizes `result` to the length of trackers[0] (whatever the
// selection) and fuses every frame on its own with performFusionForFrame. Empty selection:
// all trackers. Precondition: at least one tracker; selected tracks at least that long.
VELMORA_API void performFusionForAllFrames(trackList& trackers, track& result, std::vector<int> selection,
                                           std::vector<float> trackerWeights, bool refine);

// Position in the (filled) selection of the tracker box with the strictly greatest frame
// attraction, the earliest among equals, or -1 when no total is above 0 or nothing is
// selected. The second form writes every position's total into attractions[p]; the caller
// sizes that list. Empty selection: all trackers (the position is then the tracker index).
VELMORA_API int findTrackingRectWithGreatestAttraction(trackList& trackers, int frame, std::vector<int> selection,
                                                       std::vector<float> trackerWeights);
VELMORA_API int findTrackingRectWithGreatestAttraction(trackList& trackers, int frame, std::vector<int> selection,
                                                       std::vector<float> trackerWeights,
                                                       std::vector<float>& attractions);

// Moves `box` in place uphill on the frame attraction in unit steps of x and y, like the
// refinement of performFusionForFrame, with a move budget L = (width + height) * 0.5 / 20
// (float): at most ceil(L) moves, none when L is not above 0. Width and height never change.
// Empty selection: all trackers.
VELMORA_API void gradient_ascent(cv::Rect_<float>& box, trackList& trackers, int frame, std::vector<int> selection,
                                 std::vector<float> trackerWeights);

// Fusion by trajectory optimisation: picks one selected tracker per frame maximising the sum
// of normalised frame scores (greatest tracker of a frame = 1) plus std_beta times the
// normalised pair attraction between the trackers chosen for consecutive frames, taken in
// the frame that is entered. Max-sum programme with back-pointers; strict comparisons, the
// lowest position wins ties. `skipBacktracking` instead takes each frame's best accumulated
// score; `refineBoxes` runs gradient_ascent on every output box. `result` is resized to the
// length of trackers[0]; an empty first track empties it. Reads std_beta and std_sigma.
// Asserts "gs>=0" (in every frame some selected box must attract) and "weights[j]<=1.01f"
// (no infinite frame score). Where degenerate input (zero-size boxes, negative std_beta)
// leaves a frame without a chosen position, that frame takes the best position of its own
// column, or position 0. Empty selection: all trackers.
VELMORA_API void performFusionForAllFrames_TrajectoryOptimization(trackList& trackers, track& result,
                                                                  std::vector<int> selection,
                                                                  std::vector<float> trackerWeights,
                                                                  bool skipBacktracking, bool refineBoxes);

// ---- Evaluation against annotation ----

// Quality of track t1 against the annotation t2, box t1[k] paired with t2[k + shift1].
// threshold == -1: mean of the per-frame measure; any other value (NaN included): the share
// of frames whose overlap is >= threshold, or whose centre distance is <= threshold.
// useCenterDistance selects the centre distance instead of the overlap (intersection over
// union; -0.0001 for boxes that do not overlap). Frame 0 is never compared and counts 1.0
// in every mode; a track of one box scores 1.0, an empty one +infinity.
// Asserts "k+shift1<t2.size()" for every compared frame.
VELMORA_API float evaluate(track t1, track t2, int shift1, float threshold, bool useCenterDistance);

// Track-to-annotation attraction: the sum over k = start .. n-1 of
// attraction(t1[k], t2[k + shift1], std_sigma), divided by n - 1 whatever `start` is (n is
// the length of t1). A negative start sums nothing. Asserts "k+shift1<t2.size()".
VELMORA_API float attraction(track t1, track t2, int shift1, int start);

// Data-set score: every run of every sequence is fused (trajectory optimisation with
// back-tracking and refinement, or frame by frame with refinement), scored by mean overlap
// against anno[i] from startFrame on, run scores averaged by run length within a sequence,
// and the plain mean over sequences returned. Sequences run in parallel on an OpenMP team of
// the runtime's default size; the score is the same to the bit for every thread count.
// An exception in a worker (std::bad_alloc) is rethrown to the caller after the team joins.
// Asserts "anno[i].size()". An empty data set gives NaN.
VELMORA_API float evaluate(trackData& data, trackList& anno, bool useTrajectoryOptimization,
                           std::vector<int> selection, std::vector<float> trackerWeights);

// ---- Tracker weighting and selection ----

// Tracker weights learnt from the annotation: entry k is the mean attraction between tracker
// k's boxes and the annotation over frames 1.. of every run, each run counting by its
// length less one. Returns max(400, T) entries, T the number of tracks of the first run
// (data[0][0].size() when the first sequence has a run); entries from T on are 0. A track of
// fewer than two boxes adds nothing; a data set without any run gives 400 zeros. Asserts
// "annotation[i].size()" and "data[i][j].size() == data[0][0].size()" (every run holds T
// tracks). Preconditions: annotation holds a track for every sequence of data, and each run
// lies within its sequence's annotation (else "k+shift1<t2.size()"); when no run has a frame
// after its first, entries 0 .. T-1 are 0 / 0, NaN.
VELMORA_API std::vector<float> calculateTrackerWeights(trackData& data, trackList& annotation);

// Greedy removal over a data set: tries dropping trackers in ascending order of weight (one
// trial per distinct weight in (0, 1e15)), keeping a drop only when the data-set score
// rises strictly. Returns the kept tracker indices, ascending (possibly empty, which the
// fusion reads as all trackers). trackerWeights needs an entry per tracker; it is not filled.
VELMORA_API std::vector<int> globalRemoval(trackData& data, trackList& annotation, std::vector<float> trackerWeights,
                                           bool useTrajectoryOptimization);

// Agreement of each selected tracker with the others in one sequence, without annotation:
// entry p sums, over all frames, the frame attraction of tracker selection[p]'s box.
// Empty selection: all trackers. An empty first track gives all zeros.
VELMORA_API std::vector<float> calculateTrackerPerformances(trackList& trackers, std::vector<int> selection,
                                                            std::vector<float> trackerWeights);

// Drops the std_gamma trackers of the selection with the lowest performance (the earlier
// position on ties) and returns the rest in selection order. std_gamma <= 0 drops nothing.
// With std_gamma unset (-1) it writes "std_gamma must be set before calling this function
// ... aborting" to standard error and ends the process with exit status 1.
// Asserts "worsti!=-1" when fewer trackers than std_gamma can be dropped.
VELMORA_API std::vector<int> localRemoval(trackList& trackers, std::vector<int> selection,
                                          std::vector<float> trackerWeights);

#endif  // VELMORA_APPROACH_H
