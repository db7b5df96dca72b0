#include "ui/progress_window.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_host.h"
#include "tests/support/win_handle.h"
#include "tests/ui/ui_test_support.h"

namespace {

::testing::Environment* const gdiplus = ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

constexpr wchar_t kClassName[] = L"VelmorantScanServer";
constexpr LONG kPictureSize = 120;

struct PlacementCase {
    LONG right, bottom, width, height;
    POINT expected;
};

TEST(PlaceProgressWindowTest, BottomRightCornerSitsTenPixelsInside) {
    const PlacementCase cases[] = {
        {1920, 1040, 120, 120, {1790, 910}},  // a 1920 x 1080 screen above a 40-pixel taskbar
        {1920, 1080, 120, 120, {1790, 950}},
        {3840, 2160, 120, 120, {3710, 2030}},  // a second monitor right of the first
        {1280, 1024, 64, 32, {1206, 982}},
    };
    for (const PlacementCase& c : cases) {
        POINT at = PlaceProgressWindow(c.right, c.bottom, c.width, c.height);
        EXPECT_EQ(at.x, c.expected.x) << c.right << " x " << c.bottom;
        EXPECT_EQ(at.y, c.expected.y) << c.right << " x " << c.bottom;
    }
}

struct PremultiplyCase {
    uint32_t before, after;  // 0xAARRGGBB
};

TEST(PremultiplyAlphaTest, ScalesColourByAlphaTruncating) {
    const PremultiplyCase cases[] = {
        {0xB3000000, 0xB3000000},  // the picture's square: black at alpha 179 stays as it is
        {0x3DC8C8C8, 0x3D2F2F2F},  // 200 x 61 / 255 = 47.8: 47
        {0x3DC86400, 0x3D2F1700},  // each channel on its own: 200 -> 47, 100 -> 23
        {0x00FFFFFF, 0x00000000},  // fully transparent: all zero
        {0x00123456, 0x00000000},
        {0xFF123456, 0xFF123456},  // opaque: unchanged
        {0x01FFFFFF, 0x01010101},
        {0xFEFF8001, 0xFEFE7F00},
    };
    std::vector<uint32_t> pixels;
    for (const PremultiplyCase& c : cases) pixels.push_back(c.before);
    GdiBitmap dib(MakeDib(LONG(pixels.size()), 1, 32, pixels.data(), pixels.size() * 4));
    ASSERT_NE(dib.get(), nullptr);

    PremultiplyAlpha(dib.get());

    DibContents contents = ReadDib(dib.get());
    ASSERT_EQ(contents.pixels.size(), pixels.size());
    for (size_t i = 0; i < pixels.size(); ++i)
        EXPECT_EQ(contents.pixels[i], cases[i].after) << std::hex << "from 0x" << cases[i].before;
}

TEST(PremultiplyAlphaTest, LeavesOtherThan32BitPicturesAlone) {
    const BYTE rgb[4] = {0x10, 0x20, 0x30, 0x00};  // one 24-bit pixel and its row padding
    GdiBitmap dib(MakeDib(1, 1, 24, rgb, sizeof rgb));
    PremultiplyAlpha(dib.get());
    DibContents contents = ReadDib(dib.get());
    ASSERT_EQ(contents.pixels.size(), 1u);
    EXPECT_EQ(contents.pixels[0], 0x00302010u);
}

uint32_t Premultiplied(Gdiplus::ARGB straight) {
    uint32_t alpha = straight >> 24;
    uint32_t result = alpha << 24;
    for (int shift = 0; shift < 24; shift += 8) result |= (((straight >> shift) & 0xFF) * alpha / 255) << shift;
    return result;
}

// The test executable carries the server's picture as resource 101 (fixtures.rc).
TEST(LoadProgressBitmapTest, PictureBecomesAPremultipliedBottomUpDib) {
    GdiBitmap dib(LoadProgressBitmap(GetModuleHandleW(nullptr)));
    ASSERT_NE(dib.get(), nullptr);
    DibContents contents = ReadDib(dib.get());
    ASSERT_TRUE(contents.isDibSection);
    EXPECT_EQ(contents.header.biWidth, kPictureSize);
    EXPECT_EQ(contents.header.biHeight, kPictureSize);  // positive: bottom-up
    EXPECT_EQ(contents.header.biBitCount, 32);
    ASSERT_EQ(contents.pixels.size(), size_t(kPictureSize * kPictureSize));

    // What the picture shows: transparent corners, the square black at alpha 179 at its edges,
    // white emblem and caption.
    auto at = [&](LONG x, LONG y) { return contents.pixels[size_t(kPictureSize - 1 - y) * kPictureSize + x]; };
    EXPECT_EQ(at(0, 0), 0u);
    EXPECT_EQ(at(kPictureSize - 1, kPictureSize - 1), 0u);
    EXPECT_EQ(at(0, kPictureSize / 2), 0xB3000000u);
    EXPECT_EQ(at(kPictureSize / 2, kPictureSize - 1), 0xB3000000u);
    size_t white = 0;
    for (uint32_t pixel : contents.pixels) white += pixel == 0xFFFFFFFFu;
    EXPECT_GT(white, 200u);

    // Every pixel is the decoded picture's pixel, premultiplied, read from the other end.
    IStream* stream = OpenPngResource(GetModuleHandleW(nullptr), 101);
    ASSERT_NE(stream, nullptr);
    {
        Gdiplus::Bitmap png(stream);
        ASSERT_EQ(png.GetLastStatus(), Gdiplus::Ok);
        size_t mismatches = 0;
        for (LONG y = 0; y < kPictureSize; ++y) {
            for (LONG x = 0; x < kPictureSize; ++x) {
                Gdiplus::Color colour;
                png.GetPixel(x, y, &colour);
                if (at(x, y) != Premultiplied(colour.GetValue()) && mismatches++ < 5)
                    ADD_FAILURE() << "pixel " << x << "," << y << std::hex << ": 0x" << at(x, y) << " for 0x"
                                  << colour.GetValue();
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }
    stream->Release();
}

TEST(LoadProgressBitmapTest, ModuleWithoutPictureGivesNone) {
    EXPECT_EQ(LoadProgressBitmap(GetModuleHandleW(L"kernel32.dll")), nullptr);
}

TEST(LoadProgressBitmapTest, PictureThatIsNoImageGivesNone) {
    ModuleHandle broken(LoadLibraryW((TestHost::BinaryFolder() + L"\\broken_picture.dll").c_str()));
    ASSERT_NE(broken.get(), nullptr);
    ASSERT_NE(FindResourceW(broken.get(), MAKEINTRESOURCEW(101), L"PNG"), nullptr);
    EXPECT_EQ(LoadProgressBitmap(broken.get()), nullptr);
}

BOOL CALLBACK NoteWindow(HWND, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
}

TEST(CreateProgressWindowTest, NoPictureMeansNoWindow) {
    progressWindow = nullptr;
    CreateProgressWindow(GetModuleHandleW(L"kernel32.dll"), nullptr);
    EXPECT_EQ(progressWindow, nullptr);
    bool anyWindow = false;
    EnumThreadWindows(GetCurrentThreadId(), NoteWindow, reinterpret_cast<LPARAM>(&anyWindow));
    EXPECT_FALSE(anyWindow);
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchProgressWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    wchar_t name[64] = {};
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    GetClassNameW(window, name, 64);
    if (owner != search->processId || std::wstring(name) != kClassName) return TRUE;
    search->found = window;
    return FALSE;
}

// The progress window of process `processId`, waiting a bounded time for it to appear.
HWND FindProgressWindow(DWORD processId) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        WindowSearch search = {processId, nullptr};
        EnumWindows(MatchProgressWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        Sleep(50);
    }
    return nullptr;
}

// A plain window of the test process standing in for the host application's window.
class HostWindow {
public:
    HostWindow() {
        m_window = CreateWindowExW(0, L"STATIC", L"host", WS_POPUP | WS_VISIBLE, 100, 100, 400, 300, nullptr, nullptr,
                                   nullptr, nullptr);
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;
    ~HostWindow() {
        if (m_window) DestroyWindow(m_window);
    }
    HWND get() const { return m_window; }
    std::wstring HexValue() const {
        wchar_t text[32];
        swprintf(text, 32, L"%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(m_window)));
        return text;
    }

private:
    HWND m_window = nullptr;
};

RECT WorkArea(HWND window) {
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info);
    return info.rcWork;
}

TEST(ProgressWindowServerTest, ToolWindowAtTheWorkAreaCornerOnTopOfEverything) {
    HostWindow host;
    ASSERT_NE(host.get(), nullptr);
    for (bool withOwner : {true, false}) {
        SCOPED_TRACE(withOwner ? "owner window given" : "no owner window");
        TestHost server;
        ASSERT_TRUE(server.Start(L"", withOwner ? host.HexValue() : L"0"));
        server.ReadUntilPrompt();
        ASSERT_FALSE(server.timedOut());
        HWND window = FindProgressWindow(server.processId());
        ASSERT_NE(window, nullptr);

        RECT work = WorkArea(host.get());
        RECT rect = {};
        ASSERT_TRUE(GetWindowRect(window, &rect));
        EXPECT_EQ(rect.right, work.right - 10);
        EXPECT_EQ(rect.bottom, work.bottom - 10);
        EXPECT_EQ(rect.right - rect.left, kPictureSize);
        EXPECT_EQ(rect.bottom - rect.top, kPictureSize);

        LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
        EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
        EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);  // no taskbar button
        EXPECT_TRUE(exStyle & WS_EX_LAYERED);
        LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
        EXPECT_TRUE(style & WS_POPUP);
        EXPECT_TRUE(style & WS_VISIBLE);
        EXPECT_FALSE(style & WS_CAPTION);

        // Its parent is the desktop and nobody owns it, not even the host's window.
        EXPECT_EQ(GetAncestor(window, GA_PARENT), GetDesktopWindow());
        EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr);

        wchar_t title[64] = {};
        GetWindowTextW(window, title, 64);
        EXPECT_STREQ(title, L"Velmorant Scan Server");

        server.CloseInput();
        EXPECT_EQ(server.WaitForExit(), 0);
    }
}

bool WaitUntilGone(HWND window) {
    for (int attempt = 0; attempt < 200 && IsWindow(window); ++attempt) Sleep(50);
    return !IsWindow(window);
}

// Without an input pipe the server only serves its window: messages are answered while no
// request runs, and closing the window leaves the server running.
TEST(ProgressWindowServerTest, MessageModeAnswersHitTestsAsCaptionEverywhere) {
    TestHost server;
    ASSERT_TRUE(server.StartWithArguments(L"0 %OUT% 0"));
    HWND window = FindProgressWindow(server.processId());
    ASSERT_NE(window, nullptr);
    RECT rect = {};
    ASSERT_TRUE(GetWindowRect(window, &rect));

    const POINT points[] = {
        {rect.left, rect.top},  // a transparent corner of the picture
        {rect.right - 1, rect.top},
        {rect.left, rect.bottom - 1},
        {rect.right - 1, rect.bottom - 1},
        {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2},
        {rect.left + 60, rect.top + 90},  // the caption
    };
    for (const POINT& point : points) {
        DWORD_PTR answer = 0;
        ASSERT_NE(SendMessageTimeoutW(window, WM_NCHITTEST, 0, MAKELPARAM(point.x, point.y), SMTO_BLOCK, 10000, &answer),
                  0)
            << point.x << "," << point.y;
        EXPECT_EQ(answer, DWORD_PTR(HTCAPTION)) << point.x << "," << point.y;
    }

    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    EXPECT_TRUE(WaitUntilGone(window));
    EXPECT_EQ(WaitForSingleObject(server.process(), 0), DWORD(WAIT_TIMEOUT));
}

TEST(ProgressWindowServerTest, ClosedWindowLeavesRequestsServed) {
    TestHost server;
    ASSERT_TRUE(server.Start());
    server.ReadUntilPrompt();
    HWND window = FindProgressWindow(server.processId());
    ASSERT_NE(window, nullptr);

    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    // The next request dispatches the close before it is scanned.
    std::string first = server.Request("C:\\missing\\first.dll");
    ASSERT_FALSE(server.timedOut());
    EXPECT_NE(first.find("first.dll"), std::string::npos) << first;
    EXPECT_FALSE(IsWindow(window));

    std::string second = server.Request("C:\\missing\\second.dll");
    ASSERT_FALSE(server.timedOut());
    EXPECT_NE(second.find("second.dll"), std::string::npos) << second;

    server.CloseInput();
    EXPECT_EQ(server.WaitForExit(), 0);
}

}  // namespace
