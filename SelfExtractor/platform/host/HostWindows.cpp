// Windows on the host: the window station (visible or not, as the Environment says), message
// boxes recorded in the run's result (and answered at once with OK), and windows that can only be
// made when the Environment gives a display (as a real one is needed under Xvfb).
#include <cstring>

#include "platform/host/HostInternal.h"

namespace platform {

using namespace host;
using namespace host::detail;

namespace {

Handle const kWindowStation = reinterpret_cast<Handle>(0x5E55);
uintptr_t g_nextWindow = 0x20000;

}  // namespace

Handle GetProcessWindowStation() {
    if (Enter(host::Call::GetProcessWindowStation)) return nullptr;
    return kWindowStation;
}

Bool GetUserObjectInformationW(Handle object, i32 index, void* info, u32 bytes, u32* needed) {
    if (Enter(host::Call::GetUserObjectInformationW)) return 0;
    if (needed != nullptr) *needed = 12;
    if (object != kWindowStation || index != static_cast<i32>(UOI_FLAGS) || info == nullptr || bytes < 12) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const u32 flags[3] = {0, 0, Current().env.interactiveStation ? WSF_VISIBLE : 0u};
    std::memcpy(info, flags, sizeof flags);
    return 1;
}

i32 MessageBoxW(Window, const WChar* text, const WChar* caption, u32 type) {
    if (Enter(host::Call::MessageBoxW, FromZ(caption))) return 0;
    Current().result.messageBoxes.push_back({FromZ(caption), FromZ(text), type});
    return 1;  // IDOK
}

u16 RegisterClassExW(const WindowClass* windowClass) {
    if (Enter(host::Call::RegisterClassExW)) return 0;
    if (windowClass == nullptr || windowClass->cbSize != sizeof(WindowClass)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return 0xC000;
}

Window CreateWindowExW(u32, const WChar*, const WChar* text, u32, i32, i32, i32, i32, Window,
                       uintptr_t, Module, void*) {
    if (Enter(host::Call::CreateWindowExW, FromZ(text))) return nullptr;
    if (!Current().env.display) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    Current().result.windows.push_back(FromZ(text));
    g_nextWindow += 4;
    return reinterpret_cast<Window>(g_nextWindow);
}

intptr_t DefWindowProcW(Window, u32, uintptr_t, intptr_t) { return 0; }
Bool DestroyWindow(Window) { return 1; }
Bool PostMessageW(Window, u32, uintptr_t, intptr_t) { return 1; }
intptr_t SendMessageW(Window, u32, uintptr_t, intptr_t) { return 0; }
Bool SetWindowTextW(Window, const WChar*) { return 1; }
Bool InvalidateRect(Window, const Rect*, Bool) { return 1; }
Handle BeginPaint(Window, PaintStruct* paint) {
    std::memset(paint, 0, sizeof *paint);
    return nullptr;
}
Bool EndPaint(Window, const PaintStruct*) { return 1; }
i32 FillRect(Handle, const Rect*, Handle) { return 1; }
Handle GetSysColorBrush(i32) { return nullptr; }
uintptr_t SetTimer(Window, uintptr_t id, u32, void*) { return id; }
void PostQuitMessage(i32) {}
Bool IsDialogMessageW(Window, Message*) { return 0; }
Bool EnableWindow(Window, Bool) { return 0; }
Bool SetProcessDPIAware() { return 1; }
u32 GetDpiForSystem() { return 96; }
Bool SystemParametersInfoW(u32, u32, void*, u32) { return 0; }
i32 GetSystemMetrics(i32 index) { return index == SM_CXSCREEN ? 1920 : 1080; }
Handle LoadCursorW(Module, const WChar*) { return nullptr; }
Handle CreateFontIndirectW(const void*) { return nullptr; }
Bool DeleteObject(Handle) { return 1; }

}  // namespace platform
