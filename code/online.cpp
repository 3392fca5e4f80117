// OnlineFuser: the checks of its arguments, around the stream of detail/stream.cpp.
#include "online.h"

// Assertions name this file, home of the stream's contract, wherever they check it.
#define VELMORA_ASSERTION_FILE "code/online.cpp"
#include "detail/check.h"
#include "detail/signatures.h"
#include "detail/stream.h"

struct OnlineFuser::State : velmora::detail::Stream {
    using Stream::Stream;
};

FusionParameters currentParameters() { return FusionParameters{std_alpha, std_beta, std_sigma}; }

OnlineFuser::OnlineFuser(int trackerCount, std::vector<int> selection, std::vector<float> trackerWeights,
                         OnlineMode mode, int lag, bool refine, FusionParameters parameters) {
    VELMORA_ASSERT(trackerCount >= 0);
    for (int k : selection) {
        VELMORA_ASSERT(k >= 0 && k < trackerCount);
        VELMORA_ASSERT(trackerWeights.empty() || static_cast<size_t>(k) < trackerWeights.size());
    }
    if (selection.empty())
        VELMORA_ASSERT(trackerWeights.empty() || trackerWeights.size() >= static_cast<size_t>(trackerCount));
    VELMORA_ASSERT(lag >= 0 || lag == kUnboundedLag);
    state_ = std::make_unique<State>(trackerCount, selection, trackerWeights, mode, lag, refine, parameters);
}

OnlineFuser::~OnlineFuser() = default;
OnlineFuser::OnlineFuser(OnlineFuser&&) noexcept = default;
OnlineFuser& OnlineFuser::operator=(OnlineFuser&&) noexcept = default;

const track& OnlineFuser::push(const track& boxes) {
    // The messages name push as declared: the same text whichever compiler built the library.
    using velmora::detail::kOnlinePushSignature;
    VELMORA_ASSERT_IN(!state_->finished(), kOnlinePushSignature);
    VELMORA_ASSERT_IN(boxes.size() == static_cast<size_t>(state_->trackerCount()), kOnlinePushSignature);
    return state_->push(boxes);
}

const track& OnlineFuser::finish() { return state_->finish(); }
long OnlineFuser::pushed() const { return state_->pushed(); }
long OnlineFuser::pending() const { return state_->pending(); }
bool OnlineFuser::finished() const { return state_->finished(); }
int OnlineFuser::trackerCount() const { return state_->trackerCount(); }
OnlineMode OnlineFuser::mode() const { return state_->mode(); }
int OnlineFuser::lag() const { return state_->lag(); }
