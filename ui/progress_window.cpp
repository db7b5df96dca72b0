#include "ui/progress_window.h"

#include <gdiplus.h>
#include <objidl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ui/image_conversion.h"

HWND progressWindow = nullptr;

namespace {

constexpr wchar_t kClassName[] = L"VelmorantScanServer";
constexpr wchar_t kTitle[] = L"Velmorant Scan Server";
constexpr WORD kPictureId = 101;
constexpr LONG kEdgeGap = 10;

// Kept for the life of the process, like the window's content that came from it.
HBITMAP progressBitmap = nullptr;
// Only chooses the monitor; the window is not owned by it.
HWND progressOwner = nullptr;

// The right and bottom edges of the work area of the owner's monitor, or of the primary
// screen when no monitor can be found.
POINT ReferenceCorner(HWND owner) {
    if (HMONITOR monitor = MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST)) {
        MONITORINFO info = {};
        info.cbSize = sizeof info;
        if (GetMonitorInfoW(monitor, &info)) return {info.rcWork.right, info.rcWork.bottom};
    }
    return {GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

void RegisterProgressClass(HINSTANCE instance) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = ProgressWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass);  // a second registration fails harmlessly
}

// The picture becomes the window's whole content, blended by its own (premultiplied) alpha.
void SetLayeredContent(HWND window, HBITMAP picture, SIZE size) {
    HDC display = CreateDCW(L"display", nullptr, nullptr, nullptr);
    HDC memory = CreateCompatibleDC(display);
    HGDIOBJ previous = SelectObject(memory, picture);
    POINT sourceOrigin = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    UpdateLayeredWindow(window, nullptr, nullptr, &size, memory, &sourceOrigin, 0, &blend, ULW_ALPHA);
    SelectObject(memory, previous);
    DeleteDC(memory);
    DeleteDC(display);
}

}  // namespace

POINT PlaceProgressWindow(LONG right, LONG bottom, LONG width, LONG height) {
    return {right - width - kEdgeGap, bottom - height - kEdgeGap};
}

void CreateProgressWindow(HINSTANCE instance, HWND owner) {
    progressOwner = owner ? owner : GetForegroundWindow();
    progressBitmap = LoadProgressBitmap(instance);
    BITMAP description = {};
    // Without a picture there is nothing to show; the server works the same without a window.
    if (!progressBitmap || !GetObjectW(progressBitmap, sizeof description, &description)) return;
    SIZE size = {description.bmWidth, description.bmHeight};

    POINT corner = ReferenceCorner(progressOwner);
    POINT at = PlaceProgressWindow(corner.x, corner.y, size.cx, size.cy);
    RegisterProgressClass(instance);
    progressWindow = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kClassName, kTitle,
                                     WS_POPUP | WS_VISIBLE, at.x, at.y, size.cx, size.cy, GetDesktopWindow(),
                                     nullptr, nullptr, nullptr);
    if (!progressWindow) return;
    SetLayeredContent(progressWindow, progressBitmap, size);
    SetActiveWindow(progressWindow);
}

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCHITTEST) return HTCAPTION;
    return DefWindowProcW(window, message, wParam, lParam);
}

HBITMAP LoadProgressBitmap(HINSTANCE instance) {
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(kPictureId), L"PNG");
    if (!resource) return nullptr;
    HGLOBAL data = LoadResource(instance, resource);
    DWORD size = SizeofResource(instance, resource);
    const void* bytes = data ? LockResource(data) : nullptr;
    if (!bytes || size == 0) return nullptr;

    // The stream owns the copy and frees it when released.
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!copy) return nullptr;
    void* target = GlobalLock(copy);
    if (!target) {
        GlobalFree(copy);
        return nullptr;
    }
    memcpy(target, bytes, size);
    GlobalUnlock(copy);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(copy, TRUE, &stream))) {
        GlobalFree(copy);
        return nullptr;
    }

    HBITMAP dib = nullptr;
    {
        Gdiplus::Bitmap image(stream);
        if (image.GetLastStatus() == Gdiplus::Ok) dib = CreateDibFromImage(image);
    }  // the DIB depends on neither the GDI+ bitmap nor the stream
    stream->Release();
    if (dib) PremultiplyAlpha(dib);
    return dib;
}

void PremultiplyAlpha(HBITMAP dib) {
    DIBSECTION section = {};
    if (GetObjectW(dib, sizeof section, &section) != sizeof section) return;
    if (!section.dsBm.bmBits || section.dsBm.bmBitsPixel != 32) return;
    size_t count = size_t(section.dsBm.bmWidthBytes) * size_t(labs(section.dsBm.bmHeight)) / 4;
    BYTE* pixel = static_cast<BYTE*>(section.dsBm.bmBits);
    for (size_t i = 0; i < count; ++i, pixel += 4) {
        unsigned alpha = pixel[3];
        for (int channel = 0; channel < 3; ++channel) pixel[channel] = BYTE(pixel[channel] * alpha / 255);
    }
}
