// The program's general random generator: seeded once at start, shared by every caller.
#pragma once

#include <QtGlobal>

// Seeds the generator from the operating system's entropy. The program calls it once
// at start.
void SeedRandomFromSystem();

// Seeds the generator with a fixed value, so that a test sees a repeatable sequence.
void SeedRandom(quint64 seed);

// A number drawn uniformly from 0 .. range - 1; 0 when range is 0.
// Thread safety: any thread; calls are serialised.
quint32 RandomBelow(quint32 range);
