// The control embedded in a host window the way a container does it, polling
// a simulated terminal on COM1: events in order with their arguments, the
// panel on screen, the reconfiguration messages, and the drawing a container
// asks for through IViewObject2.
#include <gtest/gtest.h>

#include <cmath>

#include "panel/layout.h"
#include "control/ocx/dispids.h"
#include "tests/wine/host_support.h"

namespace {

using namespace host;
namespace layout = orva::layout;

struct Embedded {
    ComPtr<_ActivexORVA> control;
    ComPtr<IOleObject> ole;
    Site* site = nullptr;
    EventSink* sink = new EventSink;
    std::unique_ptr<Connection> events;

    Embedded() {
        control = createControl();
        if (!control) return;
        site = new Site;
        ole = control.as<IOleObject>(IID_IOleObject);
        events = std::make_unique<Connection>(control.get(), DIID___ActivexORVA, sink);
        ole->SetClientSite(site);
        control.as<IPersistStreamInit>(IID_IPersistStreamInit)->InitNew();
        ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site, 0, site->window(), &site->position);
    }
    ~Embedded() {
        events.reset();
        if (ole) {
            ole->Close(OLECLOSE_NOSAVE);
            ole->SetClientSite(nullptr);
        }
        ole.reset();
        control.reset();
        if (site != nullptr) site->Release();
        sink->Release();
    }
    HWND window() {
        HWND w = nullptr;
        auto inPlace = control.as<IOleInPlaceObject>(IID_IOleInPlaceObject);
        if (inPlace) inPlace->GetWindow(&w);
        return w;
    }
    std::wstring tip() { return getString(control.get(), &_ActivexORVA::get_TipTerminal); }
    std::wstring weight() { return getString(control.get(), &_ActivexORVA::get_VesTerminal); }
};

const Event* find(const std::vector<Event>& events, DISPID id, std::size_t from = 0) {
    for (std::size_t i = from; i < events.size(); ++i)
        if (events[i].id == id) return &events[i];
    return nullptr;
}

// The pixel at a point of the panel given in twips (96 dpi: 15 twips a pixel).
COLORREF pixelAt(HDC dc, int xTwips, int yTwips) { return ::GetPixel(dc, xTwips / 15, yTwips / 15); }

COLORREF lampPixel(HDC dc, layout::Item item) {
    const auto circle = layout::lampCircle(layout::clientRect(layout::itemLayout(item)));
    return pixelAt(dc, circle.centreX, circle.centreY);
}

// Keeps what the screen showed, for a person to look at (ORVA_SCREENSHOT).
void saveBitmap(HDC dc, HBITMAP bitmap, int width, int height) {
    wchar_t path[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"ORVA_SCREENSHOT", path, MAX_PATH) == 0) return;
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    std::vector<unsigned char> pixels(stride * static_cast<DWORD>(height));
    ::GetDIBits(dc, bitmap, 0, static_cast<UINT>(height), pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
                DIB_RGB_COLORS);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    const HANDLE out = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(out, &file, sizeof file, &written, nullptr);
    ::WriteFile(out, &info, sizeof info, &written, nullptr);
    ::WriteFile(out, pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
    ::CloseHandle(out);
}

// Looks at the panel's pixels where the layout puts each item.
void checkPanelPixels(HDC dc, const char* where) {
    SCOPED_TRACE(where);
    const COLORREF green = RGB(0, 255, 0);
    EXPECT_EQ(green, lampPixel(dc, layout::Item::Shape1_0));
    EXPECT_EQ(green, lampPixel(dc, layout::Item::Shape1_1));
    EXPECT_EQ(green, lampPixel(dc, layout::Item::Shape1_2));
    EXPECT_EQ(green, lampPixel(dc, layout::Item::Shape2_1));  // "Ok"
    EXPECT_EQ(::GetSysColor(COLOR_WINDOW), lampPixel(dc, layout::Item::Shape2_0));
    EXPECT_EQ(::GetSysColor(COLOR_WINDOW), lampPixel(dc, layout::Item::Shape2_3));
    // The weight and unit displays: light yellow at their far corner, where
    // no text reaches, and dark text somewhere inside the weight display.
    const auto label2 = layout::clientRect(layout::itemLayout(layout::Item::Label2));
    const auto label3 = layout::clientRect(layout::itemLayout(layout::Item::Label3));
    EXPECT_EQ(RGB(255, 255, 192), pixelAt(dc, label2.left + label2.width - 60, label2.top + label2.height - 60));
    EXPECT_EQ(RGB(255, 255, 192), pixelAt(dc, label3.left + label3.width - 60, label3.top + label3.height - 60));
    int dark = 0;
    for (int x = label2.left; x < label2.left + label2.width; x += 15)
        for (int y = label2.top; y < label2.top + label2.height; y += 15)
            if (pixelAt(dc, x, y) == ::GetSysColor(COLOR_BTNTEXT)) ++dark;
    EXPECT_GT(dark, 20) << "no weight text drawn";
    // Button face between the stability lamps and the frame.
    EXPECT_EQ(::GetSysColor(COLOR_BTNFACE), pixelAt(dc, 100, 400));
}

class Embedding : public testing::Test {
protected:
    void SetUp() override {
        if (!settings().liveTerminal) GTEST_SKIP() << "no terminal on COM1";
        setTerminalWeight("  0.000");
    }
};

TEST_F(Embedding, InPlaceActivationCreatesTheChildWindowAtThePosition) {
    Embedded e;
    ASSERT_TRUE(e.control);
    const HWND window = e.window();
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(e.site->window(), ::GetParent(window));
    RECT r{};
    ::GetWindowRect(window, &r);
    ::MapWindowPoints(nullptr, e.site->window(), reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(e.site->position.left, r.left);
    EXPECT_EQ(e.site->position.top, r.top);
    EXPECT_EQ(1, e.site->activations);

    DWORD misc = 0;
    ASSERT_EQ(S_OK, e.ole->GetMiscStatus(DVASPECT_CONTENT, &misc));
    EXPECT_EQ(131473u, misc);
    SIZEL extent{};
    ASSERT_EQ(S_OK, e.ole->GetExtent(DVASPECT_CONTENT, &extent));
    EXPECT_NEAR(5640 * 2540 / 1440, extent.cx, 1);
    EXPECT_NEAR(1845 * 2540 / 1440, extent.cy, 1);

    auto inPlace = e.control.as<IOleInPlaceObject>(IID_IOleInPlaceObject);
    ASSERT_EQ(S_OK, inPlace->InPlaceDeactivate());
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(1, e.site->deactivations);
}

TEST_F(Embedding, EventsFollowTheTerminalInOrderWithTheirArguments) {
    Embedded e;
    ASSERT_TRUE(e.control);
    // The cycle runs on its own; the first replies are decoded within a second.
    ASSERT_TRUE(pumpUntil([&] { return e.tip() == L"ORVA-1"; }, 10000)) << "no reply decoded";
    EXPECT_EQ(L" 0", e.weight());
    e.sink->events.clear();

    const DWORD changed = ::GetTickCount();
    setTerminalWeight(" 12.500");
    ASSERT_TRUE(pumpUntil([&] { return find(e.sink->events, 1) != nullptr; }, 15000)) << "no StabVes";
    const DWORD stableAfter = ::GetTickCount() - changed;
    std::printf("weight change to StabVes: %lu ms\n", static_cast<unsigned long>(stableAfter));
    EXPECT_TRUE(e.sink->argumentErrors.empty());
    for (const Event& ev : e.sink->events) {
        std::printf("  event %ld batch %lu:", static_cast<long>(ev.id), ev.batch);
        for (double v : ev.values) std::printf(" %g", v);
        std::printf("\n");
    }

    const Event* change = find(e.sink->events, 2);
    const Event* status = find(e.sink->events, 3);
    const Event* stable = find(e.sink->events, 1);
    ASSERT_NE(nullptr, change);
    ASSERT_NE(nullptr, status);
    EXPECT_EQ(12.5, change->values.at(0));
    EXPECT_EQ(12.5, stable->values.at(0));
    // The decode of the new weight raises ChangeVes, then VesStatus: ">0<"
    // off, and "Ok" off too, since the stability window starts afresh after
    // the empty scale. The next decode lights the first stability lamp ("Ok"
    // on); StabVes follows once three equal readings have filled the window.
    EXPECT_EQ(change->batch, status->batch);
    EXPECT_LT(change, status);
    EXPECT_EQ((std::vector<double>{0, 0, 0, 0}), status->values);
    EXPECT_EQ(3u, status->references.size());
    const Event* ok = find(e.sink->events, 3, static_cast<std::size_t>(status - e.sink->events.data()) + 1);
    ASSERT_NE(nullptr, ok);
    EXPECT_EQ((std::vector<double>{0, 1, 0, 0}), ok->values);
    EXPECT_GT(ok->batch, change->batch);
    EXPECT_GT(stable->batch, ok->batch);
    EXPECT_EQ(1, std::count_if(e.sink->events.begin(), e.sink->events.end(), [](const Event& ev) { return ev.id == 2; }));

    EXPECT_EQ(L" 12.5", e.weight());
    EXPECT_EQ(L"ORVA-1", e.tip());
    EXPECT_EQ(L"B", getString(e.control.get(), &_ActivexORVA::get_StatusTerminal));
    EXPECT_EQ(L"kg", getString(e.control.get(), &_ActivexORVA::get_UnitWeight));

    // The same weight again: no more ChangeVes or StabVes. Meanwhile, the
    // processor time the host process spends on the polling control.
    const std::size_t seen = e.sink->events.size();
    FILETIME created, exited, kernelBefore, userBefore, kernelAfter, userAfter;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernelBefore, &userBefore);
    const DWORD idleStart = ::GetTickCount();
    pumpFor(2000);
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernelAfter, &userAfter);
    auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    const double cpuMs = (ticks(kernelAfter) - ticks(kernelBefore) + ticks(userAfter) - ticks(userBefore)) / 1e4;
    std::printf("processor time while polling: %.1f ms in %lu ms\n", cpuMs,
                static_cast<unsigned long>(::GetTickCount() - idleStart));
    EXPECT_EQ(seen, e.sink->events.size());

    // The screen: the control's window as it is shown now.
    const HWND window = e.window();
    ASSERT_NE(nullptr, window);
    ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    pumpFor(100);
    RECT client{};
    ::GetClientRect(window, &client);
    const HDC screen = ::GetDC(window);
    const HDC copy = ::CreateCompatibleDC(screen);
    const HBITMAP bitmap = ::CreateCompatibleBitmap(screen, client.right, client.bottom);
    const HGDIOBJ old = ::SelectObject(copy, bitmap);
    ::BitBlt(copy, 0, 0, client.right, client.bottom, screen, 0, 0, SRCCOPY);
    ::ReleaseDC(window, screen);
    ::SelectObject(copy, old);
    saveBitmap(copy, bitmap, client.right, client.bottom);
    ::SelectObject(copy, bitmap);
    checkPanelPixels(copy, "window on screen");

    // The same picture drawn by the control into the container's DC.
    auto view = e.control.as<IViewObject2>(IID_IViewObject2);
    ASSERT_TRUE(view);
    RECT blank{0, 0, client.right, client.bottom};
    ::FillRect(copy, &blank, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
    const RECTL bounds{0, 0, 376, 123};
    const DWORD drawStart = ::GetTickCount();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, copy, &bounds, nullptr, nullptr, 0));
    std::printf("100 panel draws: %lu ms\n", static_cast<unsigned long>(::GetTickCount() - drawStart));
    checkPanelPixels(copy, "IViewObject2::Draw");

    // Bounds twice the size: every item at twice its place.
    {
        const HDC big = ::CreateCompatibleDC(copy);
        const HBITMAP bigBitmap = ::CreateCompatibleBitmap(copy, 752, 246);
        const HGDIOBJ oldBig = ::SelectObject(big, bigBitmap);
        const RECTL doubled{0, 0, 752, 246};
        ASSERT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, big, &doubled, nullptr, nullptr, 0));
        for (auto item : {layout::Item::Shape1_0, layout::Item::Shape1_2, layout::Item::Shape2_1}) {
            const auto c = layout::lampCircle(layout::clientRect(layout::itemLayout(item)));
            EXPECT_EQ(RGB(0, 255, 0), ::GetPixel(big, c.centreX * 2 / 15, c.centreY * 2 / 15));
        }
        const auto label3 = layout::clientRect(layout::itemLayout(layout::Item::Label3));
        EXPECT_EQ(RGB(255, 255, 192), ::GetPixel(big, (label3.left + label3.width - 60) * 2 / 15,
                                                 (label3.top + label3.height - 60) * 2 / 15));
        ::SelectObject(big, oldBig);
        ::DeleteObject(bigBitmap);
        ::DeleteDC(big);
    }
    ::SelectObject(copy, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(copy);

    // Unloading the scale: a new weight, the stability lamps go red again.
    setTerminalWeight("  0.000");
    ASSERT_TRUE(pumpUntil([&] { return find(e.sink->events, 2, seen) != nullptr; }, 10000));
    EXPECT_EQ(0.0, find(e.sink->events, 2, seen)->values.at(0));
    EXPECT_EQ(L" 0", e.weight());
}

TEST_F(Embedding, CyclePollsFromCreationWithoutAnyWindow) {
    auto control = createControl();
    ASSERT_TRUE(control);
    auto* sink = new EventSink;
    {
        Connection events(control.get(), DIID___ActivexORVA, sink);
        ASSERT_TRUE(pumpUntil([&] { return getString(control.get(), &_ActivexORVA::get_TipTerminal) == L"ORVA-1"; },
                              10000));
        EXPECT_EQ(L" 0", getString(control.get(), &_ActivexORVA::get_VesTerminal));
        ASSERT_NE(nullptr, find(sink->events, 3));  // the first status step: ">0<"
        EXPECT_EQ((std::vector<double>{1, 0, 0, 0}), find(sink->events, 3)->values);
        HWND window = nullptr;
        EXPECT_EQ(E_FAIL, control.as<IOleInPlaceObject>(IID_IOleInPlaceObject)->GetWindow(&window));
    }
    sink->Release();
}

TEST_F(Embedding, HandlerMayReleaseTheControlInsideATimerTick) {
    auto* sink = new EventSink;
    bool released = false;
    {
        auto control = createControl();
        ASSERT_TRUE(control);
        auto site = new Site;
        auto ole = control.as<IOleObject>(IID_IOleObject);
        ole->SetClientSite(site);
        ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site, 0, site->window(), &site->position);
        ole.reset();
        auto container = control.as<IConnectionPointContainer>(IID_IConnectionPointContainer);
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___ActivexORVA, point.out()));
        container.reset();
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(sink, &cookie));
        _ActivexORVA* last = control.detach();
        // The first status step of the cycle raises VesStatus inside the tick;
        // the handler drops every reference the host holds.
        sink->onEvent = [&](const Event&, DISPPARAMS*) {
            if (released) return;
            point->Unadvise(cookie);
            point.reset();
            last->Release();
            released = true;
        };
        ASSERT_TRUE(pumpUntil([&] { return released; }, 10000));
        pumpFor(500);  // the control's own ticks are gone with it
        site->Release();
    }
    EXPECT_EQ(1u, sink->events.size());
    EXPECT_EQ(S_OK, moduleCanUnloadNow());
    sink->Release();
}

TEST_F(Embedding, QuickActivationConnectsSinksAndSite) {
    auto control = createControl();
    ASSERT_TRUE(control);
    auto quick = control.as<IQuickActivate>(IID_IQuickActivate);
    ASSERT_TRUE(quick);
    auto* site = new Site;
    auto* sink = new EventSink;
    auto* notify = new NotifySink;
    QACONTAINER container{};
    container.cbSize = sizeof container;
    container.pClientSite = site;
    container.pUnkEventSink = sink;
    container.pPropertyNotifySink = notify;
    QACONTROL answer{};
    answer.cbSize = sizeof answer;
    ASSERT_EQ(S_OK, quick->QuickActivate(&container, &answer));
    EXPECT_EQ(131473u, answer.dwMiscStatus);
    EXPECT_NE(0u, answer.dwEventCookie);
    EXPECT_NE(0u, answer.dwPropNotifyCookie);

    ASSERT_EQ(S_OK, control->put_DecPoint(2));
    EXPECT_EQ(std::vector<DISPID>{DISPID_ORVA_DecPoint}, notify->changes);
    ASSERT_TRUE(pumpUntil([&] { return find(sink->events, 3) != nullptr; }, 10000));

    // Both connection points are listed for containers that enumerate them.
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, control.as<IConnectionPointContainer>(IID_IConnectionPointContainer)->EnumConnectionPoints(
                        points.out()));
    IConnectionPoint* listed[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(3, listed, &fetched));
    ASSERT_EQ(2u, fetched);
    for (ULONG i = 0; i < fetched; ++i) {
        IID iid{};
        listed[i]->GetConnectionInterface(&iid);
        EXPECT_TRUE(::IsEqualIID(iid, i == 0 ? DIID___ActivexORVA : IID_IPropertyNotifySink));
        // The quick activation's cookies disconnect the sinks again.
        EXPECT_EQ(S_OK, listed[i]->Unadvise(i == 0 ? answer.dwEventCookie : answer.dwPropNotifyCookie));
        listed[i]->Release();
    }
    control.as<IOleObject>(IID_IOleObject)->SetClientSite(nullptr);
    control.reset();
    site->Release();
    sink->Release();
    notify->Release();
}

TEST_F(Embedding, SilentTerminalGivesUnrecognisedRepliesAndNoEvents) {
    Embedded e;
    ASSERT_TRUE(e.control);
    ASSERT_TRUE(pumpUntil([&] { return e.tip() == L"ORVA-1"; }, 10000));
    setTerminalWeight("");
    ASSERT_TRUE(pumpUntil([&] { return e.tip() == L"unknown"; }, 10000));
    e.sink->events.clear();
    pumpFor(900);
    EXPECT_EQ(L"unknown", e.tip());
    EXPECT_EQ(L" 0", e.weight());
    EXPECT_TRUE(e.sink->events.empty());
}

TEST_F(Embedding, PollingResumesAfterTheLineHungUp) {
    Embedded e;
    ASSERT_TRUE(e.control);
    ASSERT_TRUE(pumpUntil([&] { return e.tip() == L"ORVA-1"; }, 10000));
    setTerminalWeight("#hangup");  // the cable is pulled and put back
    ASSERT_TRUE(pumpUntil([&] { return e.tip() == L"unknown"; }, 10000));
    setTerminalWeight("  3.000");
    EXPECT_TRUE(pumpUntil([&] { return e.weight() == L" 3"; }, 10000)) << "no reply after the hang-up";
    EXPECT_EQ(L"ORVA-1", e.tip());
}

TEST_F(Embedding, ReconfigurationShowsTheRussianMessagesAndRestoresRefusedSettings) {
    Embedded e;
    ASSERT_TRUE(e.control);
    ASSERT_TRUE(pumpUntil([&] { return e.tip() == L"ORVA-1"; }, 10000));
    MessageBoxWatcher boxes;

    // A settings text the port refuses: both messages, then the old text back.
    Bstr refused(L"9600,x,8,1");
    ASSERT_EQ(S_OK, e.control->put_ComSetting(refused.get()));
    ASSERT_TRUE(pumpUntil([&] { return boxes.texts.size() >= 2; }, 10000));
    EXPECT_EQ(L"\u0441\u043e\u043c \u043f\u043e\u0440\u0442: 9600,n,8,1", boxes.texts[0]);
    const std::wstring error = boxes.texts[1];
    EXPECT_EQ(0u, error.find(L"\u0414\u0430\u043d\u043d\u044b\u0435 \u0421\u041e\u041c \u043f\u043e\u0440\u0442\u0430 "
                             L"\u0437\u0430\u0434\u0430\u043d\u044b \u043d\u0435\u043a\u043e\u0440\u0440\u0435\u043a"
                             L"\u0442\u043d\u043e: 7005  "))
        << std::string(error.begin(), error.end());
    EXPECT_EQ(L"9600,n,8,1", getString(e.control.get(), &_ActivexORVA::get_ComSetting));

    // The cycle goes on after the messages, on the same port.
    setTerminalWeight("  5.000");
    EXPECT_TRUE(pumpUntil([&] { return e.weight() == L" 5"; }, 10000));
    EXPECT_EQ(2u, boxes.texts.size());
}

}  // namespace
