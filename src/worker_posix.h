// What the two sides of a POSIX worker share.
#pragma once

#include <cstdint>

// The worker finds its socket to the run at this descriptor.
constexpr int channelFd = 3;

// The largest file this session may write, when one was set.
bool sessionFileLimit(std::uint64_t &bytes);
