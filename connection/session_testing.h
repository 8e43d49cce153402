#pragma once

#include "agent.h"
#include "session.h"

// The tests' own way into a session: the library's record behind it, which nothing else sees.
struct SessionTesting {
    static SpiceAgent& record(Session& session);
};
