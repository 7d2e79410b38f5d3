// The device model: the filter's pin factories and properties, pin creation against the ranges,
// and the pins' own properties.
#include "sim/sim_device.h"

namespace ferox::sim::internal {

Answer Sim::Value(const Bytes& value, DWORD outSize, bool list, bool text) {
    Answer a;
    if (outSize == 0) {
        a.status = quirk && list ? static_cast<LONG>(0xC0000023u) : kStatusBufferOverflow;
        a.information = value.size();
        return a;
    }
    if (outSize >= value.size()) {
        a.reply = value;
        a.information = value.size();
        return a;
    }
    if (list && (outSize == sizeof(ULONG) || outSize == sizeof(KSMULTIPLE_ITEM))) {
        a.reply.assign(value.begin(), value.begin() + outSize);
        a.information = outSize;
        return a;
    }
    if (text) {
        a.reply.assign(value.begin(), value.begin() + outSize);
        a.status = kStatusBufferOverflow;
        a.information = outSize;
        return a;
    }
    a.status = StatusOf(ERROR_INSUFFICIENT_BUFFER);
    return a;
}

Bytes Sim::MultiItem(const std::vector<Bytes>& items) {
    KSMULTIPLE_ITEM header{};
    header.Count = static_cast<ULONG>(items.size());
    Bytes b(sizeof(header));
    for (const auto& item : items)
        b.insert(b.end(), item.begin(), item.end());
    header.Size = static_cast<ULONG>(b.size());
    std::memcpy(b.data(), &header, sizeof(header));
    return b;
}

Answer Sim::Error(DWORD error) {
    Answer a;
    a.status = StatusOf(error);
    return a;
}

Answer Sim::PinProperty(const Filter& filter, const KSPROPERTY& p, const Bytes& in, DWORD outSize) {
    if (p.Flags != KSPROPERTY_TYPE_GET)
        return Error(ERROR_INVALID_FUNCTION);
    if (p.Id == KSPROPERTY_PIN_CTYPES) {
        if (filter.rawPinCount)
            return Value(*filter.rawPinCount, outSize, false, false);
        return Value(BytesOf(static_cast<ULONG>(filter.pins.size())), outSize, false, false);
    }
    if (in.size() < sizeof(KSP_PIN))
        return Error(kErrorInvalidUserBuffer);
    KSP_PIN request;
    std::memcpy(&request, in.data(), sizeof(request));
    if (request.PinId >= filter.pins.size())
        return Error(ERROR_INVALID_PARAMETER);
    const Pin& pin = filter.pins[request.PinId];
    for (const auto& [id, raw] : pin.rawProperties) {
        if (id == p.Id) {
            const bool list = id == KSPROPERTY_PIN_DATARANGES || id == KSPROPERTY_PIN_INTERFACES ||
                              id == KSPROPERTY_PIN_MEDIUMS;
            return Value(raw, outSize, list, id == KSPROPERTY_PIN_NAME);
        }
    }
    switch (p.Id) {
        case KSPROPERTY_PIN_COMMUNICATION:
            return Value(BytesOf(static_cast<ULONG>(pin.communication)), outSize, false, false);
        case KSPROPERTY_PIN_DATAFLOW:
            return Value(BytesOf(static_cast<ULONG>(pin.dataFlow)), outSize, false, false);
        case KSPROPERTY_PIN_CINSTANCES: {
            KSPIN_CINSTANCES c = pin.instances;
            c.CurrentCount = CurrentCount(IfaceOf(filter), request.PinId);
            return Value(BytesOf(c), outSize, false, false);
        }
        case KSPROPERTY_PIN_GLOBALCINSTANCES: {
            KSPIN_CINSTANCES c = pin.globalInstances;
            c.CurrentCount = CurrentCount(IfaceOf(filter), request.PinId);
            return Value(BytesOf(c), outSize, false, false);
        }
        case KSPROPERTY_PIN_CATEGORY:
            if (!pin.category)
                return Error(kErrorNotFound);
            return Value(BytesOf(*pin.category), outSize, false, false);
        case KSPROPERTY_PIN_NAME: {
            if (!pin.name)
                return Error(kErrorNotFound);
            Bytes b((pin.name->size() + 1) * sizeof(WCHAR), 0);
            std::memcpy(b.data(), pin.name->data(), pin.name->size() * sizeof(WCHAR));
            return Value(b, outSize, false, true);
        }
        case KSPROPERTY_PIN_INTERFACES: {
            std::vector<Bytes> items;
            for (const auto& i : pin.interfaces)
                items.push_back(BytesOf(i));
            return Value(MultiItem(items), outSize, true, false);
        }
        case KSPROPERTY_PIN_MEDIUMS: {
            std::vector<Bytes> items;
            for (const auto& m : pin.mediums)
                items.push_back(BytesOf(m));
            return Value(MultiItem(items), outSize, true, false);
        }
        case KSPROPERTY_PIN_DATARANGES:
        case KSPROPERTY_PIN_CONSTRAINEDDATARANGES:
            return Value(MultiItem(pin.dataRanges), outSize, true, false);
        default:
            return Error(kErrorNotFound);
    }
}

std::size_t Sim::IfaceOf(const Filter& filter) const {
    for (std::size_t i = 0; i < machine.interfaces.size(); ++i) {
        if (&machine.interfaces[i].filter == &filter)
            return i;
    }
    return machine.interfaces.size();
}

ULONG Sim::CurrentCount(std::size_t iface, ULONG pinId) {
    ULONG n = 0;
    if (iface < machine.interfaces.size() && pinId < machine.interfaces[iface].filter.pins.size())
        n = machine.interfaces[iface].filter.pins[pinId].heldElsewhere;
    for (const auto& p : pins)
        n += p.state.open && !p.gone && p.iface == iface && p.state.pinId == pinId ? 1 : 0;
    return n;
}

Answer Sim::FilterProperty(const HandleObject& object, const Bytes& in, DWORD outSize) {
    KSPROPERTY p;
    std::memcpy(&p, in.data(), sizeof(p));
    const Filter& filter = machine.interfaces[object.iface].filter;
    if (p.Set == kKsPropSetIdPin)
        return PinProperty(filter, p, in, outSize);
    if (p.Set == kKsPropSetIdTopology) {
        if (p.Flags != KSPROPERTY_TYPE_GET)
            return Error(ERROR_INVALID_FUNCTION);
        if (p.Id != KSPROPERTY_TOPOLOGY_NODES)
            return Error(kErrorNotFound);
        std::vector<Bytes> items;
        for (const auto& n : filter.nodes)
            items.push_back(BytesOf(n));
        return Value(MultiItem(items), outSize, true, false);
    }
    return Error(kErrorSetNotFound);
}

void Sim::StopHeldWrites(HANDLE pinHandle) {
    for (auto it = held.begin(); it != held.end();) {
        if (it->write && it->handle == pinHandle && !it->ignoreStop) {
            Complete(it->ov, kStatusCancelled, 0);
            it = held.erase(it);
        } else {
            ++it;
        }
    }
}

void Sim::SetPinState(PinInstance& pin, KSSTATE state) {
    Drain(pin, Clock::now());
    if (state == KSSTATE_STOP) {
        for (auto& w : pin.queue) {
            Complete(w.ov, kStatusCancelled, 0);
            --pin.state.writesPending;
        }
        pin.queue.clear();
        StopHeldWrites(pin.handle);
        pin.fill = 0;
        pin.played = 0;
        pin.state.position = {};
    }
    if (state == KSSTATE_RUN && pin.state.state != KSSTATE_RUN)
        pin.dry = pin.fill <= 0;
    pin.state.state = state;
    pin.lastDrain = Clock::now();
    wake.notify_all();
}

Answer Sim::PinHandleProperty(PinInstance& pin, const Bytes& in, DWORD outSize, LPVOID out) {
    KSPROPERTY p;
    std::memcpy(&p, in.data(), sizeof(p));
    if (p.Set == kKsPropSetIdConnection) {
        if (p.Id != KSPROPERTY_CONNECTION_STATE)
            return Error(kErrorNotFound);
        if (p.Flags == KSPROPERTY_TYPE_GET) {
            return Value(BytesOf(static_cast<ULONG>(pin.state.state)), outSize, false, false);
        }
        if (p.Flags != KSPROPERTY_TYPE_SET)
            return Error(ERROR_INVALID_FUNCTION);
        if (outSize < sizeof(ULONG) || out == nullptr)
            return Error(ERROR_INSUFFICIENT_BUFFER);
        ULONG state;
        std::memcpy(&state, out, sizeof(state));
        if (state > KSSTATE_RUN)
            return Error(ERROR_INVALID_PARAMETER);
        SetPinState(pin, static_cast<KSSTATE>(state));
        return Answer{};
    }
    if (p.Set == kKsPropSetIdAudio && p.Id == KSPROPERTY_AUDIO_LATENCY) {
        if (!machine.interfaces[pin.iface].filter.answersLatency)
            return Error(kErrorNotFound);
        if (p.Flags != KSPROPERTY_TYPE_GET)
            return Error(ERROR_INVALID_FUNCTION);
        // What the device holds: its buffer in real-time mode, nothing in fast mode.
        KSTIME latency{};
        latency.Time = writeMode == WriteMode::RealTime ? LONGLONG{bufferMs} * 10000 : 0;
        latency.Numerator = 1;
        latency.Denominator = 1;
        return Value(BytesOf(latency), outSize, false, false);
    }
    if (p.Set == kKsPropSetIdAudio) {
        if (p.Id != KSPROPERTY_AUDIO_POSITION)
            return Error(kErrorNotFound);
        if (p.Flags != KSPROPERTY_TYPE_GET)
            return Error(ERROR_INVALID_FUNCTION);
        Drain(pin, Clock::now());
        return Value(BytesOf(pin.state.position), outSize, false, false);
    }
    return Error(kErrorSetNotFound);
}

bool Sim::Lists(const std::vector<KSIDENTIFIER>& list, const KSIDENTIFIER& wanted) {
    for (const auto& i : list) {
        if (i.Set == wanted.Set && i.Id == wanted.Id)
            return true;
    }
    return false;
}

bool Sim::FormatFits(const Pin& pin, const BYTE* format, ULONG size, double* rate) {
    KSDATAFORMAT f;
    std::memcpy(&f, format, sizeof(f));
    WAVEFORMATEX w{};
    const bool wave = f.Specifier == kKsDataFormatSpecifierWaveFormatEx;
    if (wave) {
        if (size < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
            return false;
        std::memcpy(&w, format + sizeof(KSDATAFORMAT), sizeof(w));
        if (size < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) + w.cbSize &&
            w.wFormatTag != WAVE_FORMAT_PCM) {
            return false;
        }
        GUID sub = kKsDataFormatSubtypeWaveFormatEx;
        if (w.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
            if (w.cbSize < 22)
                return false;
            std::memcpy(&sub, format + sizeof(KSDATAFORMAT) + 24, sizeof(GUID));
        } else {
            sub.Data1 = w.wFormatTag;
        }
        if (!(sub == f.SubFormat))
            return false;
        // The device clocks frames of nChannels samples of wBitsPerSample bits at
        // nSamplesPerSec, whatever nBlockAlign and nAvgBytesPerSec claim.
        *rate = static_cast<double>(w.nSamplesPerSec) * w.nChannels * w.wBitsPerSample / 8;
    }
    for (const auto& r : pin.dataRanges) {
        if (r.size() < sizeof(KSDATARANGE_AUDIO))
            continue;
        KSDATARANGE_AUDIO range;
        std::memcpy(&range, r.data(), sizeof(range));
        const KSDATARANGE& d = range.DataRange;
        const GUID none{};
        if (!(d.MajorFormat == none || d.MajorFormat == f.MajorFormat))
            continue;
        if (!(d.SubFormat == none || d.SubFormat == f.SubFormat))
            continue;
        if (!(d.Specifier == none || d.Specifier == f.Specifier))
            continue;
        if (!wave)
            return true;
        if (w.nChannels == 0 || w.nChannels > range.MaximumChannels)
            continue;
        if (w.wBitsPerSample < range.MinimumBitsPerSample ||
            w.wBitsPerSample > range.MaximumBitsPerSample) {
            continue;
        }
        if (w.nSamplesPerSec < range.MinimumSampleFrequency ||
            w.nSamplesPerSec > range.MaximumSampleFrequency) {
            continue;
        }
        return true;
    }
    return false;
}

DWORD Sim::CreatePin(HANDLE filterHandle, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE out) {
    std::lock_guard lock(mutex);
    Logged& l = Record(Op::CreatePin, Target::Filter, filterHandle);
    l.access = access;
    auto refuse = [&](DWORD error) {
        l.result = error;
        if (out != nullptr)
            *out = INVALID_HANDLE_VALUE;
        return error;
    };
    if (connect == nullptr || out == nullptr)
        return refuse(ERROR_INVALID_PARAMETER);
    KSPIN_CONNECT c;
    std::memcpy(&c, connect, sizeof(c));
    const BYTE* format = reinterpret_cast<const BYTE*>(connect) + sizeof(KSPIN_CONNECT);
    ULONG formatSize;
    std::memcpy(&formatSize, format, sizeof(formatSize));
    if (formatSize < sizeof(KSDATAFORMAT) || formatSize > 0x10000) {
        l.in.assign(reinterpret_cast<const BYTE*>(connect),
                    reinterpret_cast<const BYTE*>(connect) + sizeof(KSPIN_CONNECT));
        return refuse(ERROR_INVALID_PARAMETER);
    }
    l.in.assign(reinterpret_cast<const BYTE*>(connect), format + formatSize);
    if (const Fault* f = CheckFault(Op::CreatePin, {}, 0, c.PinId)) {
        if (f->action == Action::Unplug) {
            UnplugLocked();
        } else if (f->action == Action::Fail) {
            return refuse(f->error);
        }
    }
    HandleObject* filter = Find(filterHandle);
    if (filter == nullptr || filter->kind != Kind::Filter)
        return refuse(ERROR_INVALID_HANDLE);
    if (unplugged || filter->gone)
        return refuse(kErrorDeviceNotConnected);
    const Filter& model = machine.interfaces[filter->iface].filter;
    if (c.PinId >= model.pins.size())
        return refuse(ERROR_INVALID_PARAMETER);
    const Pin& pin = model.pins[c.PinId];
    if (!Lists(pin.interfaces, c.Interface) || !Lists(pin.mediums, c.Medium)) {
        return refuse(kErrorNoMatch);
    }
    double rate = 44100.0 * 8;
    if (!FormatFits(pin, format, formatSize, &rate))
        return refuse(kErrorNoMatch);
    if (pin.dataFlow == KSPIN_DATAFLOW_IN && (access & GENERIC_WRITE) == 0) {
        return refuse(ERROR_ACCESS_DENIED);
    }
    if (CurrentCount(filter->iface, c.PinId) >= pin.instances.PossibleCount) {
        return refuse(kErrorInsufficientResources);
    }
    PinInstance instance;
    instance.state.pinId = c.PinId;
    instance.state.open = true;
    instance.state.connect = l.in;
    instance.iface = filter->iface;
    instance.bytesPerSecond = (rate > 0 ? rate : 44100.0 * 8) * model.pace;
    instance.formatBytesPerSecond = instance.bytesPerSecond;
    HandleObject object(Kind::Pin);
    object.iface = filter->iface;
    object.pin = pins.size();
    HANDLE h = NewHandle(std::move(object));
    instance.handle = h;
    pins.push_back(std::move(instance));
    l.handle = h;
    *out = h;
    if (observer != nullptr)
        observer->PinCreated(h, format, formatSize);
    return ERROR_SUCCESS;
}

}  // namespace ferox::sim::internal
