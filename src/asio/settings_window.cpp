// The settings window that controlPanel shows: the buffer size, the safety margin and the
// driver's status. A dialog made in memory, modal on the host's thread that asked for it; it
// leaves nothing behind.
#include <atomic>
#include <cstdio>
#include <new>
#include <span>
#include <vector>

#include "asio/pellinor.h"
#include "asio/settings.h"
#include "platform/wide.h"

namespace ferox {

namespace {

constexpr WCHAR kTitle[] = L"ASIO ferox Driver";

enum Control : WORD {
    kBufferLabel = 100,
    kBufferList,
    kRestoreDefault,
    kBufferNote,
    kApply,
    kStatusGroup,
    kDacLabel,
    kDacText,
    kStreamLabel,
    kStreamText,
    kDriverLabel,
    kDriverText,
    kFileLabel,
    kFileText,
    // After the others: checks find the controls above by their numbers.
    kMarginLabel,
    kMarginList,
    kMarginNote,
};
constexpr UINT_PTR kRefreshTimer = 1;

// A dialog template in memory (DLGTEMPLATEEX: only it takes the shell font of DS_SHELLFONT).
class Template {
  public:
    Template(const WCHAR* title, short cx, short cy) {
        Add(1);  // version
        Add(0xFFFF);
        Add32(0);  // help id
        Add32(0);  // extended style
        Add32(DS_SHELLFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU);
        m_count = m_words.size();
        Add(0);
        for (short v : {short{0}, short{0}, cx, cy})
            Add(static_cast<WORD>(v));
        Add(0);  // no menu
        Add(0);  // the dialog class
        Text(title);
        Add(8);    // points
        Add(400);  // weight
        Add(0);    // italic, charset
        Text(L"MS Shell Dlg");
    }

    void Item(WORD atom, WORD id, const WCHAR* text, DWORD style, short x, short y, short cx,
              short cy) {
        while (m_words.size() % 2)
            Add(0);  // DWORD aligned
        Add32(0);    // help id
        Add32(0);    // extended style
        Add32(style | WS_CHILD | WS_VISIBLE);
        for (short v : {x, y, cx, cy})
            Add(static_cast<WORD>(v));
        Add32(id);
        Add(0xFFFF);
        Add(atom);
        Text(text);
        Add(0);  // no creation data
        ++m_words[m_count];
    }

    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

  private:
    void Add(WORD w) { m_words.push_back(w); }
    void Add32(DWORD d) {
        Add(LOWORD(d));
        Add(HIWORD(d));
    }
    void Text(const WCHAR* s) {
        do
            Add(*s);
        while (*s++);
    }
    std::vector<WORD> m_words;
    std::size_t m_count = 0;
};

constexpr WORD kButton = 0x0080;
constexpr WORD kStatic = 0x0082;
constexpr WORD kComboBox = 0x0085;

Template Layout() {
    Template t(kTitle, 300, 236);
    constexpr DWORD kList = CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP | WS_GROUP;
    t.Item(kStatic, kBufferLabel, L"&Buffer size:", SS_LEFT, 7, 9, 52, 8);
    t.Item(kComboBox, kBufferList, L"", kList, 60, 7, 233, 120);
    t.Item(kButton, kRestoreDefault, L"&Restore defaults", BS_PUSHBUTTON | WS_TABSTOP, 213, 24, 80,
           14);
    t.Item(kStatic, kBufferNote,
           L"Hosts are offered this size; a host that is playing is asked to "
           L"start its stream again with it.",
           SS_LEFT, 7, 42, 286, 18);
    t.Item(kStatic, kMarginLabel, L"Safety &margin:", SS_LEFT, 7, 66, 52, 8);
    t.Item(kComboBox, kMarginList, L"", kList, 60, 64, 110, 80);
    t.Item(kStatic, kMarginNote,
           L"Audio kept queued at the DAC; raise it if you hear dropouts. Takes effect at the "
           L"next start.",
           SS_LEFT, 7, 82, 286, 18);
    t.Item(kButton, kStatusGroup, L"Status", BS_GROUPBOX, 7, 104, 286, 104);
    const struct {
        WORD label;
        const WCHAR* text;
        short y;
        short cy;
    } rows[] = {{kDacLabel, L"DAC:", 118, 8},
                {kStreamLabel, L"This program:", 132, 26},
                {kDriverLabel, L"Driver:", 162, 8},
                {kFileLabel, L"File:", 176, 26}};
    for (const auto& r : rows) {
        t.Item(kStatic, r.label, r.text, SS_LEFT, 14, r.y, 56, 8);
        t.Item(kStatic, static_cast<WORD>(r.label + 1), L"", SS_LEFT | SS_NOPREFIX, 72, r.y, 214,
               r.cy);
    }
    t.Item(kButton, IDOK, L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, 133, 215, 50, 14);
    t.Item(kButton, IDCANCEL, L"Cancel", BS_PUSHBUTTON | WS_TABSTOP, 188, 215, 50, 14);
    t.Item(kButton, kApply, L"&Apply", BS_PUSHBUTTON | WS_TABSTOP, 243, 215, 50, 14);
    return t;
}

// The window's state, on the stack of controlPanel.
struct Panel {
    ASIOPellinor* driver;
    std::atomic<void*>* window;  // the driver's note of the open window
    AsioLong stored;             // the user's choice as stored
    AsioLong storedMargin;
    DriverStatus status;
    bool listed = false;  // the list shows the status's rate and mode
};

// A list of choices, in the order of the setting's own table.
struct Choices {
    int list;
    std::span<const AsioLong> values;
};
constexpr Choices kSizes{kBufferList, kBufferSizeChoices};
constexpr Choices kMargins{kMarginList, kMarginChoices};

// -1 when nothing is selected (a margin may be 0).
AsioLong Selected(HWND dlg, const Choices& c) {
    const LRESULT i = SendDlgItemMessageW(dlg, c.list, CB_GETCURSEL, 0, 0);
    return i >= 0 && static_cast<std::size_t>(i) < c.values.size() ? c.values[i] : -1;
}

void Select(HWND dlg, const Choices& c, AsioLong value) {
    for (std::size_t i = 0; i < c.values.size(); ++i) {
        if (c.values[i] == value)
            SendDlgItemMessageW(dlg, c.list, CB_SETCURSEL, i, 0);
    }
}

void ListMargins(HWND dlg, AsioLong stored) {
    for (AsioLong ms : kMarginChoices) {
        WCHAR text[64];
        DescribeMarginChoice(text, 64, ms);
        SendDlgItemMessageW(dlg, kMarginList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    Select(dlg, kMargins, stored);
}

// The choices described at the rate and in the mode the driver is in.
void List(HWND dlg, Panel& p, const DriverStatus& s) {
    if (p.listed && s.sampleRate == p.status.sampleRate && s.dsd == p.status.dsd)
        return;
    const AsioLong keep = p.listed ? Selected(dlg, kSizes) : p.stored;
    SendDlgItemMessageW(dlg, kBufferList, CB_RESETCONTENT, 0, 0);
    for (AsioLong size : kBufferSizeChoices) {
        WCHAR text[128];
        DescribeBufferChoice(text, 128, size, s.sampleRate, s.dsd);
        SendDlgItemMessageW(dlg, kBufferList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    Select(dlg, kSizes, keep);
    p.listed = true;
}

void SetText(HWND dlg, int id, const WCHAR* text) {
    WCHAR now[512];
    GetDlgItemTextW(dlg, id, now, 512);
    if (WideCompare(now, text) != 0)  // unchanged text is not redrawn: no flicker
        SetDlgItemTextW(dlg, id, text);
}

void SetNarrow(HWND dlg, int id, const char* text) {
    WCHAR wide[512];
    WideCopyNarrow(wide, 512, text);
    SetText(dlg, id, wide);
}

void Refresh(HWND dlg, Panel& p) {
    // The host let the driver go (from inside this window's loop, perhaps): nothing to show.
    if (p.driver->HostHasLeft()) {
        EndDialog(dlg, IDCANCEL);
        return;
    }
    const DriverStatus s = p.driver->ReadStatus();
    List(dlg, p, s);
    p.status = s;
    switch (s.dac) {
        case DriverStatus::Dac::Present:
            SetText(dlg, kDacText, L"present");
            break;
        case DriverStatus::Dac::NotFound:
            SetText(dlg, kDacText, L"not found: is it connected and switched on?");
            break;
        case DriverStatus::Dac::InUse:
            SetText(dlg, kDacText, L"in use by another program");
            break;
    }
    char text[256];
    if (s.streaming) {
        char rate[32];
        if (s.dsd)
            std::snprintf(rate, sizeof rate, "DSD%g", s.sampleRate / 44100.0);
        else
            std::snprintf(rate, sizeof rate, "%g kHz", s.sampleRate / 1000.0);
        std::snprintf(text, sizeof text,
                      "playing %s %s, buffer %ld samples, output latency %.1f ms, "
                      "%u late switches, dropouts %u",
                      rate, s.dsd ? "DSD" : "PCM", static_cast<long>(s.bufferSize),
                      s.outputLatencyMs, s.lateSwitches, s.overloads);
    } else {
        std::snprintf(text, sizeof text, "not playing through this driver");
    }
    SetNarrow(dlg, kStreamText, text);
}

void ShowFixedFacts(HWND dlg) {
    char text[64];
    std::snprintf(text, sizeof text, "feroxasio %s, %d-bit", FEROX_VERSION,
                  static_cast<int>(sizeof(void*) * 8));
    SetNarrow(dlg, kDriverText, text);
    HMODULE self = nullptr;
    WCHAR path[MAX_PATH] = L"";
    if (GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&ShowFixedFacts), &self)) {
        GetModuleFileNameW(self, path, MAX_PATH);
    }
    SetText(dlg, kFileText, path);
}

// A selection that differs from what is stored.
bool Changed(HWND dlg, const Choices& c, AsioLong stored) {
    const AsioLong value = Selected(dlg, c);
    return value >= 0 && value != stored;
}

void EnableApply(HWND dlg, const Panel& p) {
    EnableWindow(GetDlgItem(dlg, kApply),
                 Changed(dlg, kSizes, p.stored) || Changed(dlg, kMargins, p.storedMargin));
}

// False, after telling the user, when the registry refused.
bool Stored(HWND dlg, LONG rc, const WCHAR* what) {
    if (rc == ERROR_SUCCESS)
        return true;
    WCHAR text[160];
    FormatW(text, 160,
            L"The %s could not be stored in HKEY_CURRENT_USER\\Software\\feroxasio (error %d).",
            what, static_cast<int>(rc));
    MessageBoxW(dlg, text, kTitle, MB_OK | MB_ICONERROR);
    return false;
}

// Stores what was changed; false when something could not be stored.
bool Save(HWND dlg, Panel& p) {
    if (Changed(dlg, kSizes, p.stored)) {
        const AsioLong size = Selected(dlg, kSizes);
        if (!Stored(dlg, SetUserBufferSize(size), L"buffer size"))
            return false;
        p.stored = size;
        p.driver->BufferSizeSaved(size);
    }
    if (Changed(dlg, kMargins, p.storedMargin)) {
        const AsioLong ms = Selected(dlg, kMargins);
        if (!Stored(dlg, SetUserMargin(ms), L"safety margin"))
            return false;
        p.storedMargin = ms;
    }
    EnableApply(dlg, p);
    return true;
}

INT_PTR CALLBACK PanelProc(HWND dlg, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* p = reinterpret_cast<Panel*>(GetWindowLongPtrW(dlg, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dlg, DWLP_USER, lParam);
            p = reinterpret_cast<Panel*>(lParam);
            p->window->store(dlg);  // a call made from now on finds the window
            ShowFixedFacts(dlg);
            ListMargins(dlg, p->storedMargin);
            Refresh(dlg, *p);
            EnableApply(dlg, *p);
            SetTimer(dlg, kRefreshTimer, 1000, nullptr);
            return TRUE;  // the focus goes to the list, the first tab stop
        case WM_TIMER:
            if (p && wParam == kRefreshTimer)
                Refresh(dlg, *p);
            return TRUE;
        case WM_COMMAND:
            if (!p)
                return FALSE;
            switch (LOWORD(wParam)) {
                case kBufferList:
                case kMarginList:
                    if (HIWORD(wParam) == CBN_SELCHANGE)
                        EnableApply(dlg, *p);
                    return TRUE;
                case kRestoreDefault:
                    Select(dlg, kSizes, kDefaultBufferSize);
                    Select(dlg, kMargins, kDefaultMargin);
                    EnableApply(dlg, *p);
                    return TRUE;
                case kApply:
                    Save(dlg, *p);
                    return TRUE;
                case IDOK:
                    if (Save(dlg, *p))
                        EndDialog(dlg, IDOK);
                    return TRUE;
                case IDCANCEL:
                    EndDialog(dlg, IDCANCEL);
                    return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            KillTimer(dlg, kRefreshTimer);
            if (p)
                p->window->store(nullptr);
            return FALSE;
    }
    return FALSE;
}

// The window a modal dialog of this thread belongs under: the host's active window, or its
// foreground window when that is the host's own.
HWND HostWindow() {
    if (HWND active = GetActiveWindow())
        return active;
    HWND front = GetForegroundWindow();
    if (front && GetWindowThreadProcessId(front, nullptr) == GetCurrentThreadId())
        return front;
    return nullptr;
}

}  // namespace

ASIOError ASIO_METHOD ASIOPellinor::controlPanel() {
    // A window there would hold the stream for as long as it is open.
    if (IsStreamThread())
        return ASE_NotPresent;
    // Open already (a second call from a host's menu, or from another thread): to the front.
    if (HWND open = static_cast<HWND>(m_panelWindow.load())) {
        ShowWindow(open, SW_RESTORE);
        SetForegroundWindow(open);
        return ASE_OK;
    }
    // The window holds the object while it is open: a host may release it from inside the
    // window's loop (answering a reset request it posted itself), and the object, and with it
    // the DLL, must outlive the window's last message.
    m_refCount.fetch_add(1);
    m_panelsOpen.fetch_add(1);
    ASIOError error = ASE_NotPresent;
    try {
        HMODULE self = nullptr;
        GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&PanelProc), &self);
        Panel panel{this, &m_panelWindow, UserBufferSize(), UserMargin(), {}};
        const Template layout = Layout();
        const INT_PTR result = DialogBoxIndirectParamW(self, layout.Get(), HostWindow(), &PanelProc,
                                                       reinterpret_cast<LPARAM>(&panel));
        error = result == -1 || result == 0 ? ASE_NotPresent : ASE_OK;
    } catch (const std::bad_alloc&) {
        error = ASE_NoMemory;  // nothing may leave the ASIO face by exception
    }
    m_panelWindow.store(nullptr);
    m_panelsOpen.fetch_sub(1);
    InnerRelease();  // may delete the object: nothing of it is touched after
    return error;
}

}  // namespace ferox
