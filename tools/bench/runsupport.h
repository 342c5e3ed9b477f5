// Shared by the two robustness runners (flashdrive robust, robustlink):
// seeded random numbers, an image of its own for every run, the box's verdict
// and the fault list.
#ifndef TESSEL_RUNSUPPORT_H
#define TESSEL_RUNSUPPORT_H

#include "tests/port_harness.h"
#include <cstdint>
#include <string>
#include <vector>

void SeedRandom(uint32_t seed);
uint32_t RandomBelow(uint32_t n);
// A seed for one run of a series, unrelated to its neighbours'.
uint32_t MixSeed(uint32_t seed, uint32_t run);
// A number in [low, high].
int RandomBetween(int low, int high);

// A valid image of the given size whose bytes after the header depend on
// salt too, so that no two runs send the same bytes; written to a file
// named after name, returned with its contents.
std::string WriteRunImage(const std::string &name, uint32_t size, uint32_t salt, Bytes *contents);
int ReceivedEquals(const Bytes &image);   // the box's received.bin
std::string DescribeReceived(const Bytes &image);   // how it differs

std::string VerdictOf(const std::string &boxLog);

// The box simulator's options that play the fault of this name (the names
// both runners share) at the given block; "" for a fault the box itself does
// not play ("none", or one the runner strikes from outside).
std::string BoxFaultOptions(const char *fault, int block, int lateMs);

// The fault indices named by a comma-separated list, or all of them for
// "each"; empty when a name is not in the table.
std::vector<int> ParseFaultList(const char *names, const char *const *table, int count);   // "complete", "incomplete", ...; "none"

#endif
