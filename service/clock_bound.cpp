#include "service/clock_bound.h"

UnixMs AnchorTimeAt(const ClockAnchor& anchor, uint64_t nowTick) {
  return anchor.time + static_cast<int64_t>(nowTick - anchor.tick);
}

StepDecision DecideStep(UnixMs received, bool authenticated, const ClockAnchor& anchor,
                        uint64_t nowTick, PhaseBounds bounds, int64_t buildSeconds) {
  int64_t step = received - AnchorTimeAt(anchor, nowTick);
  // Even an authenticated time: an old certificate whose key has leaked can
  // only vouch for times before the build.
  if (received < buildSeconds * 1000) return {StepVerdict::BeforeBuild, step, false};
  if (authenticated) return {StepVerdict::Set, step, true};
  if (bounds.aheadSeconds != kNoPhaseBound && step > int64_t{bounds.aheadSeconds} * 1000)
    return {StepVerdict::TooFar, step, false};
  if (bounds.behindSeconds != kNoPhaseBound && step < -int64_t{bounds.behindSeconds} * 1000)
    return {StepVerdict::TooFar, step, false};
  return {StepVerdict::Set, step, false};
}

int32_t StepSeconds(int64_t stepMs) {
  int64_t seconds = stepMs / 1000;
  int64_t rest = stepMs % 1000;
  if (rest >= 500) ++seconds;
  if (rest <= -500) --seconds;
  if (seconds > INT32_MAX) return INT32_MAX;
  if (seconds < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(seconds);
}

ClockEvent EventFor(StepVerdict verdict, int64_t movedMs) {
  switch (verdict) {
    case StepVerdict::TooFar: return ClockEvent::Refused;
    case StepVerdict::BeforeBuild: return ClockEvent::BeforeBuild;
    case StepVerdict::Set: break;
  }
  return movedMs > kLoggedStepMs || movedMs < -kLoggedStepMs ? ClockEvent::LargeStep
                                                            : ClockEvent::None;
}

bool PassEvent(EventGate* gate, uint64_t nowTick, uint32_t* heldBefore) {
  if (gate->written && nowTick - gate->lastTick < kEventIntervalMs) {
    if (gate->held < UINT32_MAX) ++gate->held;
    return false;
  }
  *heldBefore = gate->held;
  gate->held = 0;
  gate->written = true;
  gate->lastTick = nowTick;
  return true;
}
