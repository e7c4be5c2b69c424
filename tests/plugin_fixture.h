// The plug-in loaded as the player loads it, on the emulated Windows, with
// the host's main window owned by the test's thread.
#pragma once

#include "media_keys.h"
#include "plugin.h"
#include "test_support.h"

namespace plugin_fixture {

using namespace testing_support;
using namespace xmp_plovane;
using host_interface::THostTable;
using host_interface::TPluginDescriptor;

constexpr uint16_t VK_STOP = 0xB2, VK_NEXT = 0xB0, VK_PREV = 0xB1, VK_PLAY = 0xB3;

inline platform::TWindow MainWindow;
inline platform::TWindow XMP_STDCALL GetMainWindow() { return MainWindow; }
inline const THostTable FullTable{nullptr, GetMainWindow};
inline const THostTable TableWithoutWindowRoutine{nullptr, nullptr};

inline std::vector<uint32_t> HostTableRequests;
inline const THostTable* TableToGive = &FullTable;
inline const THostTable* XMP_STDCALL GetHostTable(uint32_t interfaceNo) {
    HostTableRequests.push_back(interfaceNo);
    return TableToGive;
}

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        UnloadModule();
        ThreadsBefore = emulated::LiveThreadCount();
        HostTableRequests.clear();
        TableToGive = &FullTable;
        MainWindow = emulated::CreateWindowForThisThread([this](uint32_t message, uintptr_t wParam, intptr_t lParam) {
            if (message != SHORTCUT_MSG) return intptr_t{0};
            Shortcuts.push_back(wParam);
            return OnShortcut ? OnShortcut(wParam, lParam) : intptr_t{0};
        });
        ASSERT_TRUE(emulated::LoadLibrary(LibraryEntry));
        Settle();
    }
    void TearDown() override {
        if (Loaded) emulated::FreeLibrary(LibraryEntry);
        emulated::DestroyWindow(MainWindow);
        UnloadModule();
    }

    TPluginDescriptor* Bind() { return XMPDSP_GetInterface2(2, GetHostTable); }

    void Tap(uint16_t vk) {
        emulated::TapKey(vk);
        ASSERT_TRUE(PumpCycle());
    }

    std::vector<uintptr_t> Shortcuts;
    // The host's handler of each shortcut, after it is recorded.
    std::function<intptr_t(uintptr_t shortcut, intptr_t lParam)> OnShortcut;
    bool Loaded = true;  // false once a test has unloaded the library itself
    int ThreadsBefore = 0;  // threads an earlier test of this process left
};

}  // namespace plugin_fixture
