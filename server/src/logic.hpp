// Pure logic of oramet-timed: everything that does not need the event loop,
// one header per concern, gathered here for the unit tests and fuzzers.
#pragma once

#include "address.hpp"
#include "banner.hpp"
#include "budget.hpp"
#include "clock_state.hpp"
#include "config.hpp"
#include "direct_reply.hpp"
#include "metrics.hpp"
#include "offence_store.hpp"
#include "offences.hpp"
#include "request.hpp"
#include "version.hpp"
