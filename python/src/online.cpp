// velmora.OnlineFuser: the library's live streams for numpy users.
//
// Every frame is checked as the whole-sequence functions check their tracks, before the stream
// sees it, so a refused frame raises ValueError and leaves the stream as it was. The stream keeps
// the parameters it was made with; its checks use those, not the ones in force.
#include "convert.h"
#include "parameters.h"

#include <pybind11/numpy.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::python {
namespace {

class Stream {
public:
    Stream(int trackers, bool trajectory, std::optional<int> lag, std::vector<int> selection,
           std::vector<float> weights, bool refine, const FusionParameters& parameters)
        : trajectory_(trajectory),
          selection_(selection.empty() ? allTrackers(static_cast<size_t>(trackers)) : std::move(selection)),
          weights_(std::move(weights)),
          parameters_(parameters),
          fuser_(trackers, selection_, weights_, trajectory ? OnlineMode::Trajectory : OnlineMode::FrameByFrame,
                 lag ? *lag : OnlineFuser::kUnboundedLag, refine, parameters) {}

    // The boxes that became final with `object`, one frame of (n_trackers, 4) boxes.
    py::array_t<float> push(const py::object& object) {
        const int n = fuser_.trackerCount();
        const py::array_t<float> array = toFloatArray(object, "boxes", "an (n_trackers, 4) array of boxes");
        if (array.ndim() != 2 || array.shape(0) != n || array.shape(1) != 4)
            valueError("boxes: expected one box per tracker, shape (" + std::to_string(n) + ", 4), got shape " +
                       shapeText(array));
        track boxes;
        trackList asTracks;
        for (int k = 0; k < n; ++k) {
            const float* v = array.data(k);
            boxes.emplace_back(v[0], v[1], v[2], v[3]);
            asTracks.push_back(track{boxes.back()});
        }
        track decided;
        reading([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            if (fuser_.finished())
                throw std::runtime_error("push: the stream is finished; a new stream needs a new OnlineFuser");
            const size_t frame = static_cast<size_t>(fuser_.pushed());
            checkTrackerBoxes(asTracks, "boxes", frame);
            if (trajectory_) {
                checkStreamScores(selection_, weights_, frame + 1, parameters_.sigma, parameters_.beta);
                checkStreamFrame(boxes, selection_, weights_, parameters_.sigma, frame);
            }
            decided = fuser_.push(boxes);
        });
        return toArray(decided);
    }

    py::array_t<float> finish() {
        track decided;
        reading([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            decided = fuser_.finish();
        });
        return toArray(decided);
    }

    long pushed() const { return fuser_.pushed(); }
    long pending() const { return fuser_.pending(); }
    bool finished() const { return fuser_.finished(); }
    int trackers() const { return fuser_.trackerCount(); }
    bool trajectory() const { return trajectory_; }
    py::object lag() const {
        return fuser_.lag() == OnlineFuser::kUnboundedLag ? py::none() : py::object(py::int_(fuser_.lag()));
    }

private:
    static py::array_t<float> toArray(const track& t) {
        py::array_t<float> result({static_cast<py::ssize_t>(t.size()), static_cast<py::ssize_t>(4)});
        float* out = result.mutable_data();
        for (const Box& b : t) *out++ = b.x, *out++ = b.y, *out++ = b.width, *out++ = b.height;
        return result;
    }

    const bool trajectory_;
    const std::vector<int> selection_;
    const std::vector<float> weights_;
    const FusionParameters parameters_;
    std::mutex mutex_;  // one push at a time, whichever Python thread pushes
    OnlineFuser fuser_;
};

std::unique_ptr<Stream> makeStream(const py::object& nTrackers, const py::object& trajectoryFlag, const py::object& lag,
                                   const py::object& selection, const py::object& weights,
                                   const py::object& refineFlag, const py::object& alpha, const py::object& beta,
                                   const py::object& sigma) {
    const int n = toInt(nTrackers, "n_trackers");
    const bool trajectory = toBool(trajectoryFlag, "trajectory"), refine = toBool(refineFlag, "refine");
    if (n < 1) valueError("n_trackers: must be 1 or more, got " + std::to_string(n));
    std::optional<int> frames;
    if (!lag.is_none()) {
        frames = toInt(lag, "lag");
        if (*frames < 0) valueError("lag: must be 0 or more (None: unbounded), got " + std::to_string(*frames));
    }
    if (!trajectory && frames != std::optional<int>(0))
        valueError("lag: frame-by-frame fusion decides every frame at once; a lag needs trajectory=True");
    std::vector<int> chosen = toSelection(selection, static_cast<size_t>(n));
    std::vector<float> w = toWeights(weights);
    checkWeightsCover(w, chosen, static_cast<size_t>(n));
    const FusionParameters parameters = parametersArgument(alpha, beta, sigma, trajectory);
    if (trajectory)
        checkStreamScores(chosen.empty() ? allTrackers(static_cast<size_t>(n)) : chosen, w, 1, parameters.sigma,
                          parameters.beta);
    return std::make_unique<Stream>(n, trajectory, frames, std::move(chosen), std::move(w), refine, parameters);
}

}  // namespace

void bindOnline(py::module_& m) {
    const auto none = py::none();
    py::class_<Stream>(m, "OnlineFuser", R"pbdoc(
        Live fusion: trackers' boxes pushed one frame at a time, each fused box returned as soon as
        it is final, in memory bounded by the lag.

        Frame by frame (trajectory False), each push returns its own frame, as fuse() would. With
        trajectory, frame t is decided once frame t + lag has arrived, by back-tracking from the best
        path ending there: lag 0 gives fuse_trajectory(backtracking=False), lag None (unbounded)
        waits for finish() and gives fuse_trajectory(backtracking=True); any lag gives frame t of
        fuse_trajectory on frames 0 .. t + lag. The selection, weights and parameters (None: the ones
        in force now) are fixed when the stream is made.
    )pbdoc")
        .def(py::init(&makeStream), py::arg("n_trackers"), py::kw_only(), py::arg("trajectory") = false,
             py::arg("lag") = 0, py::arg("selection") = none, py::arg("weights") = none, py::arg("refine") = true,
             py::arg("alpha") = none, py::arg("beta") = none, py::arg("sigma") = none)
        .def("push", &Stream::push, py::arg("boxes"), R"pbdoc(
        Adds the next frame, an (n_trackers, 4) array of boxes (a NaN box: a lost target), and returns
        the fused boxes that became final with it as a float32 array of shape (k, 4), k >= 0. A frame
        the whole-sequence functions would refuse raises ValueError and leaves the stream as it was;
        pushing after finish() raises RuntimeError.
    )pbdoc")
        .def("finish", &Stream::finish, R"pbdoc(
        Ends the stream and returns the frames not yet final, float32 of shape (k, 4); again, none.
    )pbdoc")
        .def_property_readonly("pushed", &Stream::pushed, "Frames pushed so far.")
        .def_property_readonly("pending", &Stream::pending, "Frames pushed and not yet returned.")
        .def_property_readonly("finished", &Stream::finished, "Whether finish() was called.")
        .def_property_readonly("n_trackers", &Stream::trackers, "Boxes in each frame.")
        .def_property_readonly("trajectory", &Stream::trajectory, "Trajectory optimisation, or frame by frame.")
        .def_property_readonly("lag", &Stream::lag, "Frames a decision waits for (None: until finish()).");
}

}  // namespace velmora::python
