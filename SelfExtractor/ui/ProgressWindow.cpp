#include "ui/ProgressWindow.h"

#include "run/Text.h"
#include "ui/FailureMessage.h"
#include "ui/InstallerTitle.h"

namespace stub {

using namespace platform;

namespace {

constexpr u32 kEndWaitMs = 5000;     // the longest the run waits for the window to close
constexpr u32 kTimerMs = 100;
constexpr i32 kBarId = 100;
const WChar kClassName[] = u"ZEBProgress";

// The one window of the run (trivial globals): the started one, and the shown one for its window
// procedure.
ProgressWindow* gStarted;
ProgressWindow* gShown;

// Logical (96 dpi) units to pixels at the system's DPI.
i32 gDpi = 96;
i32 Scale(i32 units) { return units * gDpi / 96; }

Rect BarRect() { return Rect{Scale(16), Scale(44), Scale(344), Scale(62)}; }

void ShowPercent(ProgressWindow& w, bool force) {
    const u64 total = ProgressTotal(*w.progress);
    const u64 done = ProgressConsumed(*w.progress);
    u32 percent = total == 0 ? 0 : static_cast<u32>(done >= total ? 100 : done * 100 / total);
    if (percent == w.percent && !force) return;
    w.percent = percent;
    // "Unpacking... 45 %" in the bar's own text: what a screen reader reads, and the tests.
    WChar text[32] = u"Unpacking... ";
    u32 at = TextLength(text);
    if (percent >= 100) text[at++] = u'1';
    if (percent >= 10) text[at++] = static_cast<WChar>(u'0' + (percent / 10) % 10);
    text[at++] = static_cast<WChar>(u'0' + percent % 10);
    text[at++] = u' ';
    text[at++] = u'%';
    text[at] = 0;
    SetWindowTextW(w.bar, text);
    const Rect bar = BarRect();
    InvalidateRect(w.window, &bar, 0);
}

// Once the run has decided to launch, a Cancel is refused and the window only closes.
void Cancel(ProgressWindow& w) {
    if (!RequestCancel(*w.progress)) return;
    EnableWindow(w.cancel, 0);
    SetWindowTextW(w.bar, u"Cancelling...");
}

intptr_t PLATFORM_API WindowProcedure(Window window, u32 message, uintptr_t wParam, intptr_t lParam) {
    ProgressWindow* const w = gShown;
    if (w != nullptr && w->window == window) {
        switch (message) {
            case WM_TIMER:
                if (!CancelRequested(*w->progress)) ShowPercent(*w, false);
                return 0;
            case WM_PAINT: {
                PaintStruct paint;
                const Handle dc = BeginPaint(window, &paint);
                Rect bar = BarRect();
                FillRect(dc, &bar, GetSysColorBrush(COLOR_BTNSHADOW));
                const i32 border = Scale(1) > 0 ? Scale(1) : 1;
                bar = Rect{bar.left + border, bar.top + border, bar.right - border, bar.bottom - border};
                FillRect(dc, &bar, GetSysColorBrush(COLOR_WINDOW));
                bar.right = bar.left + (bar.right - bar.left) * static_cast<i32>(w->percent) / 100;
                FillRect(dc, &bar, GetSysColorBrush(COLOR_HIGHLIGHT));
                EndPaint(window, &paint);
                return 0;
            }
            case WM_COMMAND:
                if ((wParam & 0xFFFF) == IDCANCEL) Cancel(*w);
                return 0;
            case WM_CLOSE:
                // The title bar's close button cancels too; the run's own close ends the window.
                if (__atomic_load_n(&w->closing, __ATOMIC_ACQUIRE) == 0) {
                    Cancel(*w);
                    return 0;
                }
                DestroyWindow(window);
                return 0;
            case WM_DESTROY:
                PostQuitMessage(0);
                return 0;
            default:
                break;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Makes the window and its controls; false without a display.
bool MakeWindow(ProgressWindow& w) {
    SetProcessDPIAware();  // sharp on high-DPI screens; result not tested
    const u32 dpi = GetDpiForSystem();
    gDpi = dpi >= 96 && dpi <= 960 ? static_cast<i32>(dpi) : 96;
    const Module instance = GetModuleHandleW(nullptr);
    WindowClass windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, MakeIntResource(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<Handle>(static_cast<uintptr_t>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);  // a class that exists already serves as well

    const i32 width = Scale(360), height = Scale(150);
    const i32 x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const i32 y = (GetSystemMetrics(SM_CYSCREEN) - height) / 3;
    gShown = &w;
    const Window window = CreateWindowExW(0, kClassName, w.title, WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
                                          x, y, width, height, nullptr, 0, instance, nullptr);
    if (window == nullptr) return false;
    __atomic_store_n(&w.window, window, __ATOMIC_RELEASE);
    w.bar = CreateWindowExW(0, u"STATIC", u"Unpacking...", WS_CHILD | WS_VISIBLE, Scale(16),
                            Scale(16), Scale(328), Scale(22), window, kBarId, instance, nullptr);
    w.cancel = CreateWindowExW(0, u"BUTTON", u"Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP |
                               BS_DEFPUSHBUTTON, Scale(254), Scale(76), Scale(90), Scale(28), window,
                               IDCANCEL, instance, nullptr);
    // The message font at the system's DPI, for both controls.
    alignas(8) u8 metrics[kNonClientMetricsBytes] = {};
    const u32 size = kNonClientMetricsBytes;
    __builtin_memcpy(metrics, &size, sizeof size);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, size, metrics, 0)) {
        w.font = CreateFontIndirectW(metrics + kNonClientMessageFont);
        if (w.font != nullptr) {
            SendMessageW(w.bar, WM_SETFONT, reinterpret_cast<uintptr_t>(w.font), 0);
            SendMessageW(w.cancel, WM_SETFONT, reinterpret_cast<uintptr_t>(w.font), 0);
        }
    }
    ShowPercent(w, true);
    SetTimer(window, 1, kTimerMs, nullptr);
    return true;
}

u32 PLATFORM_API WindowThread(void* parameter) {
    ProgressWindow& w = *static_cast<ProgressWindow*>(parameter);
    // Unpacking that ends within the delay shows nothing.
    if (WaitForSingleObject(w.ended, kProgressDelayMs) != WAIT_TIMEOUT) return 0;
    if (!MakeWindow(w)) return 0;
    // The run may have closed it while it was being made.
    if (__atomic_load_n(&w.closing, __ATOMIC_ACQUIRE) != 0) PostMessageW(w.window, WM_CLOSE, 0, 0);
    Message message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(w.window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    if (w.font != nullptr) DeleteObject(w.font);
    return 0;
}

}  // namespace

void ProgressWindowStart(RunState& state, ProgressWindow& w) {
    w.thread = nullptr;
    w.ended = nullptr;
    w.window = nullptr;
    w.font = nullptr;
    w.closing = 0;
    w.percent = 0;
    w.progress = &state.progress;
    if (!state.options.progress || !MayShowWindows(state)) return;
    InstallerTitle(state.selfPath, w.title);
    w.ended = CreateEventW(nullptr, 0, 0, nullptr);
    if (w.ended == nullptr) return;
    w.thread = CreateThread(nullptr, 0, WindowThread, &w, 0, nullptr);
    if (w.thread != nullptr) gStarted = &w;
}

void CloseProgressWindow() {
    if (gStarted != nullptr) ProgressWindowEnd(*gStarted);
}

void ProgressWindowEnd(ProgressWindow& w) {
    if (w.thread != nullptr) {
        __atomic_store_n(&w.closing, 1u, __ATOMIC_RELEASE);
        SetEvent(w.ended);
        const Window window = __atomic_load_n(&w.window, __ATOMIC_ACQUIRE);
        if (window != nullptr) PostMessageW(window, WM_CLOSE, 0, 0);
        WaitForSingleObject(w.thread, kEndWaitMs);
        CloseHandle(w.thread);
        w.thread = nullptr;
        gStarted = nullptr;
    }
    if (w.ended != nullptr) CloseHandle(w.ended);
    w.ended = nullptr;
}

}  // namespace stub
