// Shared inside the engine only.
#pragma once

#include "engine/engine.h"

// The sequences the workers run: the engine's own, or a test's fakes.
const EvSequences *evSequences();
