#pragma once

#include <stdexcept>
#include <string>

// A failure of the media layer: opening, encoding, writing, finishing a file or converting samples.
// The message names what failed and, where FFmpeg reported it, FFmpeg's own explanation.
class MediaError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
