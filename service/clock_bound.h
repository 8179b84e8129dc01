// What the clock service lets a received time do to the clock, and what it
// tells the event log about it, as plain values. No Windows header.
//
// A time nobody can vouch for (a plain reply, or an HTTPS reply whose chain
// did not verify at the time it was sent) may move the clock only within
// bounds of the service's anchor: the clock as the service found it, carried
// forward by the tick count. Such steps never move the anchor, so a forged
// server cannot walk the clock away by steps that each look small. No time
// of any source may lie before the build.
#pragma once
#include <cstdint>

// Unix milliseconds (UTC).
using UnixMs = int64_t;

// MaxPosPhaseCorrection / MaxNegPhaseCorrection as Windows' own time service
// has them on a stand-alone PC: 15 hours each.
constexpr uint32_t kDefaultPhaseCorrection = 54000;
// Either value so: no bound on that side.
constexpr uint32_t kNoPhaseBound = 0xFFFFFFFF;

struct PhaseBounds {
  uint32_t aheadSeconds;   // MaxPosPhaseCorrection
  uint32_t behindSeconds;  // MaxNegPhaseCorrection
};

// The clock at a tick of the 64-bit count, which does not wrap in the life of
// a machine and goes on counting while the PC sleeps.
struct ClockAnchor {
  UnixMs time;
  uint64_t tick;
};

// The anchor's time at nowTick.
UnixMs AnchorTimeAt(const ClockAnchor& anchor, uint64_t nowTick);

enum class StepVerdict { Set, BeforeBuild, TooFar };

struct StepDecision {
  StepVerdict verdict;
  int64_t stepMs;  // received minus the anchor's time now
  // Once set, the time is the new anchor: only an authenticated one is.
  bool movesAnchor;
};

// Whether received may be set: never before buildSeconds; an authenticated
// time otherwise always; any other only within bounds of the anchor, both
// edges included.
StepDecision DecideStep(UnixMs received, bool authenticated, const ClockAnchor& anchor,
                        uint64_t nowTick, PhaseBounds bounds, int64_t buildSeconds);

// A step as the pipe's TOOFAR reply carries it: whole seconds, rounded to the
// nearest, held to the range of an int32_t (68 years either way).
int32_t StepSeconds(int64_t stepMs);

// The event log: every refused step, and every step set of more than this,
// measured from the clock it replaced.
constexpr int64_t kLoggedStepMs = 5 * 60 * 1000;
// At most one entry per this long: a forged server may cause a refusal on
// every exchange, one per 2 s.
constexpr uint64_t kEventIntervalMs = 60 * 1000;

enum class ClockEvent { None, Refused, BeforeBuild, LargeStep };

// The entry a verdict calls for; movedMs is how far a step that was set moved
// the clock from the one it replaced. A step the system refused calls for
// none, and is not asked about.
ClockEvent EventFor(StepVerdict verdict, int64_t movedMs);

struct EventGate {
  bool written = false;   // an entry has been written
  uint64_t lastTick = 0;  // when the last one was
  uint32_t held = 0;      // entries called for since then and not written
};

// Whether an entry called for at nowTick may be written: not within
// kEventIntervalMs of the last one, which counts it in held instead. When it
// may, *heldBefore receives the count held back before it (for its text) and
// the gate starts a new interval.
bool PassEvent(EventGate* gate, uint64_t nowTick, uint32_t* heldBefore);
