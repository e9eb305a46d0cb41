#pragma once
// Builds the run job at Start from the job state and the stored job configuration.
#include <cstdint>
#include <string>

#include "base/RunJob.h"

class StoredConfig;

// Reads the image file at path whole: Ok with its bytes, or why not (a directory,
// device or pipe is no image file; a file of 0 or more than maxBytes bytes has a bad
// size; a file that grows, shrinks or fails while it is read cannot be read whole).
RunImage ReadRunImage(const std::string& path, uint64_t maxBytes);

// The run's job: a copy of `job`, the images its download steps send (read now), the
// console settings of `cfg`, and the loopback test's interfaces.
RunJob MakeRunJob(const JobState& job, const StoredConfig& cfg, const TestInterfaces& interfaces,
                  const std::string& sharedTestInterface);
