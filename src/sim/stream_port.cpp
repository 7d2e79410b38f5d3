// The stream port: writes the device holds, its buffer played at the carrier rate by a worker
// thread, and the pace the system kept.
#include "sim/sim_device.h"

namespace ferox::sim::internal {

void Sim::EnsureWorker() {
    std::lock_guard order(workerMutex);
    if (worker.joinable())
        return;
    {
        std::lock_guard lock(mutex);
        if (!NeedsWorkerLocked())
            return;
        workerStop = false;
    }
    worker = std::thread([this] { Worker(); });
}

void Sim::RetireWorker() {
    std::lock_guard order(workerMutex);
    if (!worker.joinable())
        return;
    {
        std::lock_guard lock(mutex);
        if (NeedsWorkerLocked())
            return;
        workerStop = true;
        wake.notify_all();
    }
    worker.join();
}

bool Sim::NeedsWorkerLocked() const {
    if (!completions.empty())
        return true;
    for (const auto& p : pins) {
        if (p.state.open)
            return true;
    }
    return false;
}

void Sim::Drain(PinInstance& pin, Clock::time_point now) {
    if (writeMode != WriteMode::RealTime || pin.gone)
        return;
    while (const auto at = CompletesAt(pin)) {
        if (*at > now)
            break;
        Play(pin, *at);
        const QueuedWrite w = pin.queue.front();
        pin.queue.erase(pin.queue.begin());
        Complete(w.ov, kStatusSuccess, w.size);
        pin.lastCompletion = Clock::now();
        --pin.state.writesPending;
    }
    Play(pin, now);
}

std::optional<Clock::time_point> Sim::CompletesAt(const PinInstance& pin) const {
    if (writeMode != WriteMode::RealTime || pin.queue.empty())
        return std::nullopt;
    double later = 0;  // the data of the writes behind it
    for (std::size_t k = 1; k < pin.queue.size(); ++k)
        later += static_cast<double>(pin.queue[k].size);
    // Half a byte of slack for rounding.
    const double over = pin.fill - later - pin.bytesPerSecond * bufferMs / 1000.0 - 0.5;
    if (over <= 0)
        return pin.lastDrain;
    if (pin.state.state != KSSTATE_RUN || pin.bytesPerSecond <= 0)
        return std::nullopt;
    return pin.lastDrain + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(over / pin.bytesPerSecond));
}

void Sim::Play(PinInstance& pin, Clock::time_point until) {
    if (until <= pin.lastDrain)
        return;
    if (pin.state.state == KSSTATE_RUN) {
        const double seconds = std::chrono::duration<double>(until - pin.lastDrain).count();
        const double due = seconds * pin.bytesPerSecond;
        const double take = std::min(due, pin.fill);
        pin.fill -= take;
        pin.played += take;
        pin.state.position.PlayOffset = std::min<ULONGLONG>(
            static_cast<ULONGLONG>(pin.played + 0.5), pin.state.position.WriteOffset);
        if (due > take && pin.fill <= 0) {
            if (!pin.dry)
                ++pin.state.underruns;
            pin.dry = true;
        }
    }
    pin.lastDrain = until;
}

void Sim::Take(PinInstance& pin, const Bytes& data) {
    if (memoryCapture)
        captured.insert(captured.end(), data.begin(), data.end());
    if (observer != nullptr)
        observer->Received(pin.handle, data.data(), data.size());
    pin.state.bytesReceived += data.size();
    pin.state.position.WriteOffset += data.size();
    if (writeMode == WriteMode::RealTime) {
        pin.fill += static_cast<double>(data.size());
        if (!data.empty())
            pin.dry = false;
    } else {
        pin.state.position.PlayOffset = pin.state.position.WriteOffset;
    }
}

void Sim::Pace(PinInstance& pin) {
    const auto now = Clock::now();
    PinState& st = pin.state;
    ++st.writes;
    if (pin.lastWrite) {
        const double ms = std::chrono::duration<double, std::milli>(now - *pin.lastWrite).count();
        st.maxWriteGapMs = std::max(st.maxWriteGapMs, ms);
    }
    pin.lastWrite = now;
    if (pin.lastCompletion && pin.queue.empty()) {
        const double us =
            std::chrono::duration<double, std::micro>(now - *pin.lastCompletion).count();
        if (pin.turnaroundUs.empty())
            pin.turnaroundUs.assign(kTurnaroundBuckets, 0);
        ++pin.turnaroundUs[std::min(static_cast<std::size_t>(us), kTurnaroundBuckets - 1)];
        ++st.turnarounds;
        st.turnaroundMaxUs = std::max(st.turnaroundMaxUs, us);
    }
    pin.lastCompletion.reset();
}

void Sim::FinishPace(PinInstance& pin) {
    PinState& st = pin.state;
    const auto rank = (static_cast<unsigned long long>(st.turnarounds) * 99 + 99) / 100;
    unsigned long long seen = 0;
    for (std::size_t us = 0; us < pin.turnaroundUs.size(); ++us) {
        seen += pin.turnaroundUs[us];
        if (seen >= rank) {
            // The bucket's upper edge, never above the largest seen.
            st.turnaroundP99Us = std::min(static_cast<double>(us + 1), st.turnaroundMaxUs);
            break;
        }
    }
    std::vector<unsigned>().swap(pin.turnaroundUs);  // a cleared vector keeps its 80 KB
}

Answer Sim::Write(PinInstance& pin, LPVOID out, DWORD outSize, OVERLAPPED* ov) {
    if (ov == nullptr)
        return Error(ERROR_INVALID_PARAMETER);
    Pace(pin);
    if (out == nullptr || outSize < sizeof(KSSTREAM_HEADER)) {
        return Error(kErrorInvalidUserBuffer);
    }
    Bytes data;
    DWORD offset = 0;
    while (offset < outSize) {
        KSSTREAM_HEADER header;
        if (outSize - offset < sizeof(header))
            return Error(kErrorInvalidUserBuffer);
        std::memcpy(&header, static_cast<BYTE*>(out) + offset, sizeof(header));
        if (header.Size < sizeof(header) || header.Size % 8 != 0 ||
            header.Size > outSize - offset || header.DataUsed > header.FrameExtent) {
            return Error(kErrorInvalidUserBuffer);
        }
        if (header.DataUsed != 0 && header.Data == nullptr)
            return Error(ERROR_NOACCESS);
        const auto* bytes = static_cast<const BYTE*>(header.Data);
        data.insert(data.end(), bytes, bytes + header.DataUsed);
        offset += header.Size;
    }
    Answer a;
    a.information = data.size();
    if (writeMode == WriteMode::Fast) {
        Take(pin, data);
        pin.lastCompletion = Clock::now();
        return a;
    }
    // Taken as it arrives; it completes at once if the buffer holds no more than its depth
    // with it, else once it has played down to that.
    const auto now = Clock::now();
    Drain(pin, now);
    Take(pin, data);
    pin.queue.push_back(QueuedWrite{ov, data.size()});
    const auto at = CompletesAt(pin);
    if (pin.queue.size() == 1 && at && *at <= pin.lastDrain) {
        // Completed before the system could wait for it: no turnaround to time.
        pin.queue.clear();
        return a;
    }
    ++pin.state.writesPending;
    a.pend = true;
    return a;
}

void Sim::Worker() {
    DeviceScope scope;
    std::unique_lock lock(mutex);
    while (!workerStop) {
        const auto now = Clock::now();
        for (auto it = completions.begin(); it != completions.end();) {
            if (it->due <= now) {
                if (it->out != nullptr && !it->reply.empty()) {
                    std::memcpy(it->out, it->reply.data(), it->reply.size());
                }
                Complete(it->ov, it->status, it->information);
                it = completions.erase(it);
            } else {
                ++it;
            }
        }
        bool playing = false;
        auto until = now + std::chrono::hours(1);
        for (auto& p : pins) {
            if (!p.state.open || p.gone)
                continue;
            Drain(p, now);
            playing = playing || (writeMode == WriteMode::RealTime &&
                                  (p.state.state == KSSTATE_RUN || !p.queue.empty()));
            // A held write completes when it is due, not at the next tick.
            if (const auto at = CompletesAt(p))
                until = std::min(until, *at);
        }
        for (const auto& c : completions)
            until = std::min(until, c.due);
        if (playing)
            until = std::min(until, now + std::chrono::milliseconds(1));
        wake.wait_until(lock, until);
    }
}

}  // namespace ferox::sim::internal
