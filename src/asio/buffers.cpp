// The host's double buffers and its callback table.
#include <cstring>

#include "asio/pellinor.h"

namespace ferox {

ASIOError ASIO_METHOD ASIOPellinor::createBuffers(ASIOBufferInfo* bufferInfos, AsioLong numChannels,
                                                  AsioLong bufferSize, ASIOCallbacks* callbacks) {
    if ((numChannels > 0 && !bufferInfos) || !callbacks)
        return ASE_InvalidParameter;
    const bool dsd = IsDsd();
    const AsioLong words = dsd ? bufferSize >> 5 : bufferSize;
    // A half must fit one stream data slot, and a DSD half must be whole words, or the host
    // would write past the end of its block.
    if (words < 1 || words > kMaxBufferWords || (dsd && bufferSize % 32 != 0)) {
        return ASE_InvalidMode;
    }

    // A second createBuffers replaces the first set instead of leaking it under a live stream.
    disposeBuffers();

    m_buffersMade.fetch_add(1);
    m_numInputs.store(0);
    m_numOutputs.store(0);
    m_bufferSize.store(words);
    m_offeredSize.store(words);
    const std::size_t blockBytes = static_cast<std::size_t>(words) * 8;
    bool outOfMemory = false;
    for (AsioLong i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& info = bufferInfos[i];
        const bool input = info.isInput != 0;
        std::atomic<AsioLong>& count = input ? m_numInputs : m_numOutputs;
        const AsioLong n = count.load();
        if (info.channelNum < 0 || info.channelNum >= 2 || n >= 2) {
            disposeBuffers();
            return ASE_InvalidParameter;
        }
        auto* block = static_cast<std::int32_t*>(Allocate(blockBytes));
        // Silence, not stale memory: in input blocks hosts read, and in the output half a host
        // that does not fill before start has played first.
        if (block)
            std::memset(block, !input && dsd ? 0xAA : 0, blockBytes);
        if (input) {
            m_inputChannels[n] = info.channelNum;
            m_inputBuffers[n] = block;
        } else {
            m_outputChannels[n] = info.channelNum;
            m_outputBuffers[n].store(block);
        }
        info.buffers[0] = block;
        info.buffers[1] = block ? block + words : nullptr;
        if (!block)
            outOfMemory = true;
        count.store(n + 1);
    }
    if (outOfMemory) {
        disposeBuffers();
        return ASE_NoMemory;
    }

    m_callbackTable = *callbacks;
    m_callbacks.store(&m_callbackTable);
    const auto message = m_callbackTable.asioMessage;
    const bool timeInfo = message && message(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0;
    m_timeInfoMode.store(timeInfo);
    if (timeInfo) {
        AsioTimeInfo& ti = m_asioTime.timeInfo;
        ti.speed = 1.0;
        ti.systemTime = {0, 0};
        ti.samplePosition = {0, 0};
        ti.sampleRate = m_sampleRate.load();
        ti.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        ASIOTimeCode& tc = m_asioTime.timeCode;
        tc.speed = 1.0;
        tc.timeCodeSamples = {0, 0};
        tc.flags = kTcValid | kTcRunning;
        m_pendingTimeFlags.store(0);  // the record starts afresh
    }
    if (message) {
        message(kAsioSelectorSupported, kAsioSetIoFormat, nullptr, nullptr);
        message(kAsioSelectorSupported, kAsioGetIoFormat, nullptr, nullptr);
        message(kAsioSelectorSupported, kAsioCanDoIoFormat, nullptr, nullptr);
    }
    return ASE_OK;
}

ASIOError ASIO_METHOD ASIOPellinor::disposeBuffers() {
    // Withdrawn first, so that no host callback follows; the blocks go only once no streaming
    // thread can read them.
    m_callbacks.store(nullptr);
    m_buffersMade.fetch_add(1);
    // The stream's end and its silent tail may go on: they no longer read the host's buffers.
    EndCallbacks();
    for (AsioLong i = 0; i < m_numInputs.load(); ++i) {
        Free(m_inputBuffers[i]);
        m_inputBuffers[i] = nullptr;
    }
    m_numInputs.store(0);
    for (AsioLong i = 0; i < m_numOutputs.load(); ++i) {
        Free(m_outputBuffers[i].exchange(nullptr));
    }
    m_numOutputs.store(0);
    return ASE_OK;
}

}  // namespace ferox
