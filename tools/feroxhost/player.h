// Playing through a driver: what feeds it, and the host's side of a stream (the callbacks, the
// progress line, the summary).
#pragma once

#include <cstddef>
#include <string>

#include "audio_files.h"

namespace ferox::host {

// What feeds the driver: a file or a generated tone, in the driver's units (PCM frames,
// or DSD bytes a channel).
class Source {
  public:
    virtual ~Source() = default;
    virtual std::size_t Fill(void* left, void* right, std::size_t units) = 0;
};

// Plays `source`, of the kind `info` describes, through the chosen driver; `what` names it.
int Play(const std::wstring& requested, Source& source, const AudioInfo& info, const char* what);

}  // namespace ferox::host
