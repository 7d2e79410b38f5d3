// The simulated DAC: a model of the device's kernel-mode USB audio driver, of the SetupAPI view of
// its device interfaces and of ksuser.dll's KsCreatePin, behind the device seam (Device()).
//
// One simulated machine per process. Tests configure it, drive the system against it and read
// back what the system sent. The simulator never allocates through ferox::Allocate (it stands for
// the kernel, not for the system), so allocation-failure tests reach only the system's own
// allocations, and it creates no platform handles (handle-leak counts stay the system's own).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/ks.h"
#include "platform/platform.h"

namespace ferox::sim {

using WString = std::basic_string<WCHAR>;
using Bytes = std::vector<BYTE>;

// ---- Model

// One pin type (pin factory) of the filter. The defaults are a render sink pin of our DAC.
struct Pin {
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_SINK;
    KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
    std::vector<KSPIN_INTERFACE> interfaces;  // default: standard streaming
    std::vector<KSPIN_MEDIUM> mediums;        // default: standard medium
    std::vector<Bytes> dataRanges;            // whole ranges, each FormatSize bytes long
    KSPIN_CINSTANCES instances{1, 0};         // CurrentCount follows the pins created
    ULONG heldElsewhere = 0;                  // instances another program holds (a busy DAC)
    KSPIN_CINSTANCES globalInstances{1, 0};
    std::optional<GUID> category;  // absent: the property answers ERROR_NOT_FOUND
    std::optional<WString> name;   // absent: the property answers ERROR_NOT_FOUND
    // Raw answers that replace the modelled value of a KSPROPSETID_Pin property (by id), served
    // exactly as given: the size query reports their length. For fuzzing and malformed replies.
    std::vector<std::pair<ULONG, Bytes>> rawProperties;
};

struct Filter {
    std::vector<Pin> pins;    // pin ids are the indices
    std::vector<GUID> nodes;  // topology node types
    // Raw answer of KSPROPERTY_PIN_CTYPES instead of the pin count (e.g. 4 bytes of 1000).
    std::optional<Bytes> rawPinCount;
    // Vendor mode words its pins refuse (ERROR_NOT_SUPPORTED), e.g. a DAC without DSD.
    std::vector<ULONG> refusedModes;
    // Whether its pins answer KSPROPERTY_AUDIO_LATENCY (else ERROR_NOT_FOUND).
    bool answersLatency = true;
    // How fast its clock plays against the format's rate in real-time mode (1: exactly).
    double pace = 1.0;
};

// One device interface of a device, registered under several categories (aliases share the
// reference string). Its path under a category is
//   \\?\<instance id, '\' -> '#', lower case>#{<category, lower case>}\<reference string>
struct Interface {
    WString instanceId;  // e.g. USB\VID_5A4E&PID_0C31&MI_00\7&1F2B6C1&0&0000
    WString referenceString;
    struct Registration {
        GUID category;
        DWORD flags;  // SPINT_ACTIVE, SPINT_DEFAULT, SPINT_REMOVED as SetupAPI reports them
    };
    std::vector<Registration> categories;  // the first one is where it is normally enumerated
    Filter filter;
};

struct Machine {
    std::vector<Interface> interfaces;  // enumeration order
    bool ksUserPresent = true;          // ksuser.dll loads from the system folder
    bool ksCreatePinExported = true;    // GetProcAddress(.., "KsCreatePin") succeeds
    // LoadLibraryExW knows the LOAD_LIBRARY_SEARCH_* flags. Off: as Windows 7 without KB2533623,
    // it refuses them (ERROR_INVALID_PARAMETER); ksuser.dll then loads by its full path in the
    // system folder (GetSystemDirectoryW).
    bool loadSearchFlags = true;
};

// Builders of the default model.
Bytes AudioRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate,
                 const GUID& subFormat = kKsDataFormatSubtypePcm,
                 const GUID& majorFormat = kKsDataFormatTypeAudio,
                 const GUID& specifier = kKsDataFormatSpecifierWaveFormatEx);
KSPIN_INTERFACE StandardInterface(ULONG id = KSINTERFACE_STANDARD_STREAMING);
KSPIN_MEDIUM StandardMedium();
// Render sink: data flow in, standard interface and medium, one PCM range of 2 channels,
// 32 bits, 44100..768000 Hz, category KSNODETYPE_SPEAKER, a name.
Pin RenderPin();
// Bridge pin: communication BRIDGE, data flow out, no ranges usable for streaming.
Pin BridgePin();
Filter DacFilter();  // { RenderPin(), BridgePin() } and a few topology nodes
// Our DAC: USB\VID_5A4E&PID_0C31&MI_00\7&1F2B6C1&0&0000, reference "global", registered under
// KSCATEGORY_AUDIO and KSCATEGORY_RENDER (both SPINT_ACTIVE). `serial` varies the instance id so
// several DACs can be present.
Interface Dac(unsigned serial = 0);
Machine DefaultMachine();  // one DAC

// The path SetupAPI reports for the interface under that category.
WString DevicePath(const Interface& iface, const GUID& category);
// The path of the first interface under its first category, for tests that open it directly.
WString DefaultPath();

// ---- Device profiles

// A machine as a doctor report (feroxhost doctor --report) describes it: the DAC's interfaces,
// pins and data ranges, property replies, vendor-request answers, latency and pace. What the
// report lacks comes from the built-in model.
struct Profile {
    Machine machine;
    std::optional<DWORD> bufferMs;  // the device buffer its latency and pace tell
};
std::optional<Profile> ParseProfile(const std::string& json, std::string* error);
std::optional<Profile> LoadProfile(const std::string& path, std::string* error);
// The profile FEROX_SIM_PROFILE names, read once per process; the built-in model without it
// (and, after a line on stderr, when the file cannot be used).
const Profile& EnvironmentProfile();

// ---- Control

// Replaces the machine and forgets everything: open handles (they become invalid, as after a
// reboot; requests still pending are dropped without completing), log, capture, faults, modes.
// By default the machine is FEROX_SIM_PROFILE's, so every test can run against a user's device.
void Reset(const Machine& machine = EnvironmentProfile().machine);

// Size queries (output length 0) of variable-size properties: Windows answers ERROR_MORE_DATA
// with the size in the byte count; with the quirk on, ERROR_INSUFFICIENT_BUFFER with the size.
void SetSizeQueryQuirk(bool on);

// How IOCTL_KS_WRITE_STREAM completes. Every write goes pending (FALSE, ERROR_IO_PENDING).
//  Fast: completes at once (the event is signalled before DeviceIoControl returns).
//  RealTime: the pin keeps a buffer of bufferMs of audio at the carrier rate (nSamplesPerSec x
//    nBlockAlign of the format it was created with); a write's data joins the buffer as it
//    arrives, and the write completes once no more than bufferMs of audio, counting it, is left
//    to play (at once when the buffer held less). The buffer drains at the carrier rate while
//    the pin is in KSSTATE_RUN; draining an empty buffer while running counts an underrun.
enum class WriteMode { Fast, RealTime };
void SetWriteMode(WriteMode mode, DWORD bufferMs = 40);

// Pulls the device: interfaces vanish from SetupAPI, requests on open handles fail with
// ERROR_DEVICE_NOT_CONNECTED, pending requests complete with STATUS_DEVICE_NOT_CONNECTED.
// Closing the handles still works. The handles open now stay dead, even after Replug: they
// belonged to device objects that are gone.
void Unplug();

// Plugs the device back in after Unplug (nothing happens otherwise): its interfaces reappear
// under the same instance ids and paths, as a USB device re-plugged into the same port keeps
// them, and new filters and pins work. The pins of the dead handles no longer count as
// instances, even while still open: the device objects they counted on went with the unplug.
void Replug();

// ---- Fault injection

// Request kinds, as the log names them.
enum class Op {
    ClassDevs,        // SetupDiGetClassDevsW
    EnumInterfaces,   // SetupDiEnumDeviceInterfaces
    InterfaceDetail,  // SetupDiGetDeviceInterfaceDetailW
    InstanceId,       // SetupDiGetDeviceInstanceIdW
    InterfaceAlias,   // SetupDiGetDeviceInterfaceAlias
    DestroyInfoList,  // SetupDiDestroyDeviceInfoList
    CreateFile,       // CreateFileW of a device path
    Property,         // IOCTL_KS_PROPERTY
    WriteStream,      // IOCTL_KS_WRITE_STREAM
    VendorMode,       // IOCTL_VENDOR_SET_MODE
    OtherIoctl,       // any other control code (answered ERROR_INVALID_FUNCTION)
    CreatePin,        // KsCreatePin
    LoadLibrary,      // LoadLibraryExW
    GetProcAddress,   // GetProcAddress
    CloseHandle,      // CloseHandle of a simulator handle
    CancelIo,         // CancelIoEx
};

// Which requests a fault applies to; unset fields match anything.
struct Match {
    Op op = Op::Property;
    std::optional<GUID> set = std::nullopt;  // Property: the property set
    std::optional<ULONG> id = std::nullopt;  // Property: the property id
    std::optional<ULONG> pinId =
        std::nullopt;  // Property: KSP_PIN's PinId; CreatePin: the connect's PinId
    std::optional<bool> sizeQuery =
        std::nullopt;  // Property: true = output length 0, false = with a buffer
};

enum class Action {
    Fail,           // refused at once: FALSE (or INVALID_HANDLE_VALUE, null) with `error`
    Pend,           // goes pending, then completes as it would have, `delayMs` later
    PendFail,       // goes pending, then completes `delayMs` later with `error`
    NeverComplete,  // goes pending and stays so until given back (see Fault)
    Unplug,         // the device is pulled just before this request is looked at
    Block,          // handled without pending: DeviceIoControl returns only `delayMs` later,
                    // then answers as it would have (the bound and cancel of an overlapped
                    // request never come into play)
};

struct Fault {
    Action action = Action::Fail;
    DWORD error = ERROR_GEN_FAILURE;  // a Win32 error; completions carry the matching NTSTATUS
    DWORD delayMs = 0;
    unsigned skip = 0;   // matching requests let through first
    unsigned times = 1;  // matching requests affected; 0 = all from then on
    DWORD afterMs = 0;   // matching requests let through until this long after the first one
    // NeverComplete: what gives the request back, with STATUS_CANCELLED. CancelIoEx and
    // closing the handle do, and for a write also setting its pin to KSSTATE_STOP, unless:
    //  ignoreCancel: neither CancelIoEx nor closing the handle (a driver that does not honour
    //    cancellation); with closeEndsIt, closing the handle still does (its cleanup does);
    //  ignoreStop: the stop state leaves the write held.
    // CompleteHeld and Unplug always do; a request none of these reach stays held for good, and
    // its OVERLAPPED is written only then, if ever.
    bool ignoreCancel = false;
    bool ignoreStop = false;
    bool closeEndsIt = false;
};

// Faults are checked in the order injected; the first that applies wins.
void InjectFault(const Match& match, const Fault& fault);
void ClearFaults();

// Completes every request held by NeverComplete with this NTSTATUS (e.g. 0xC0000120, cancelled),
// those on closed handles too.
void CompleteHeld(LONG status);
// Requests held by NeverComplete now (on closed handles too).
std::size_t HeldRequests();

// ---- What the system sent

enum class Target { None, InfoSet, Filter, Pin };

struct Logged {
    Op op;
    Target target = Target::None;
    HANDLE handle = nullptr;  // the request's handle (filter, pin, info set)
    DWORD code = 0;           // control code of an IOCTL
    Bytes in;                 // the input buffer as sent (property request, vendor request,
                              // KSPIN_CONNECT + data format for CreatePin)
    Bytes out;                // the output buffer as sent (a SET's value, a write's headers);
                              // empty for a GET
    DWORD outSize = 0;        // output length as given
    bool overlapped = false;  // an OVERLAPPED record came with it
    WString path;             // CreateFile: the path; LoadLibrary: the name
    std::string procName;     // GetProcAddress: the name
    DWORD access = 0;         // CreateFile, CreatePin: desired access
    DWORD share = 0;          // CreateFile: share mode
    DWORD flags = 0;          // CreateFile: flags and attributes; LoadLibrary: the load flags
    DWORD result = 0;         // the Win32 error it was answered with; ERROR_IO_PENDING if it
                              // went pending; 0 for success
};

std::vector<Logged> Log();
std::vector<Logged> Log(Op op);  // only requests of this kind
void ClearLog();
// Keeps only the latest `entries` requests and vendor modes (0: none), and forgets closed
// handles and, once none is open, closed pins (Pins() no longer lists them); Reset makes it
// unbounded again. A process that plays for hours and never reads the log must bound it.
void SetLogLimit(std::size_t entries);

// Every byte that write-stream requests delivered (DataUsed bytes of each header), in the order
// the device took them, across all pins since Reset or ClearCapture.
Bytes Captured();
void ClearCapture();

// The mode words (first 32 bits) of every vendor request the device took, in order.
std::vector<ULONG> VendorModes();

struct PinState {
    ULONG pinId = 0;
    bool open = false;
    KSSTATE state = KSSTATE_STOP;
    Bytes connect;  // the KSPIN_CONNECT and data format it was created with
    KSAUDIO_POSITION position{};
    ULONGLONG bytesReceived = 0;
    unsigned underruns = 0;
    unsigned writesPending = 0;
    // The pace the system kept: writes taken, the longest time between two arriving writes and
    // the turnaround, from a write's completion to the next write arriving while none was
    // pending (p99 over the pin's life, filled in when the pin closes). In real-time mode only
    // writes the device held count for the turnaround: one completed within its own request
    // came before the system could wait for it.
    unsigned writes = 0;
    double maxWriteGapMs = 0;
    unsigned turnarounds = 0;
    double turnaroundP99Us = 0;
    double turnaroundMaxUs = 0;
};
// Pin instances created since Reset, in creation order (closed ones stay, with open = false).
std::vector<PinState> Pins();

// ---- Stream observer

// Told of every render pin's life, in order, under the simulator's lock (so it must not call
// back into the simulator): created with its data format (KSDATAFORMAT and wave format), the
// vendor mode words, the bytes the device took, closed. The capture file of the simulated-DAC
// DLL is one. Reset does not remove it.
class StreamObserver {
  public:
    virtual ~StreamObserver() = default;
    virtual void PinCreated(HANDLE pin, const BYTE* format, ULONG formatSize) = 0;
    virtual void VendorMode(HANDLE pin, ULONG mode) = 0;
    virtual void Received(HANDLE pin, const BYTE* data, std::size_t size) = 0;
    virtual void PinClosed(HANDLE pin) = 0;
    // Just before PinClosed: what the pin went through.
    virtual void PinFinished(HANDLE /*pin*/, const PinState& /*state*/) {}
};
void SetStreamObserver(StreamObserver* observer);  // nullptr: none

// Whether Captured() keeps what the pins take (on after Reset). A long run that only writes to
// a file turns it off, or memory would grow with every second played.
void SetMemoryCapture(bool on);

// Handles of the simulator that are open now (filters, pins, info sets).
std::size_t OpenHandles();

// Whether the simulator's worker thread exists: only while a pin is open or a completion is due.
bool WorkerRunning();

// Whether a handle value is one of the simulator's (open or closed).
bool IsSimHandle(HANDLE handle);

// Whether the calling thread is inside the simulated device now (its own threads always are):
// what it allocates there is the kernel's, not the system's.
bool InDevice();

}  // namespace ferox::sim
