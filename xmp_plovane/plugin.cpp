#include "plugin.h"

#include "global_hotkeys.h"
#include "media_keys.h"
#include "platform.h"

namespace xmp_plovane {

using namespace host_interface;

TPluginDescriptor PluginDescriptor;
const THostTable* HostTable = nullptr;

void XMP_STDCALL ShowAbout(TWindowHandle window) {
    platform::MessageBoxA(window, ABOUT_TEXT, ABOUT_CAPTION, ABOUT_STYLE);
}

TInstance XMP_STDCALL CreateInstance() {
    // A host that gave no routine table (or no window routine) gets keys
    // that send to no window, rather than a call through a null pointer.
    platform::TWindow window = nullptr;
    if (HostTable != nullptr && HostTable->GetMainWindow != nullptr)
        window = HostTable->GetMainWindow();
    HostWindow.store(window);
    RegisterMediaKeys();
    return reinterpret_cast<TInstance>(INSTANCE_HANDLE);
}

void XMP_STDCALL FreeInstance(TInstance) { UnregisterMediaKeys(); }

const char* XMP_STDCALL DescribeInstance(TInstance) { return PluginDescriptor.Name; }

uint32_t XMP_STDCALL ReadSettings(TInstance, void*) { return 0; }

uint32_t XMP_STDCALL ApplySettings(TInstance, const void*, uint32_t) { return 0xFFFFFFFF; }

uint32_t XMP_STDCALL PassSamples(TInstance, void*, uint32_t count) { return count; }

bool LibraryEntry(uint32_t reason, bool processEnding) {
    if (reason == DLL_PROCESS_ATTACH_REASON) global_hotkeys::HotkeysStartup();
    if (reason == DLL_PROCESS_DETACH_REASON) global_hotkeys::HotkeysShutdown(processEnding);
    return true;
}

}  // namespace xmp_plovane

extern "C" host_interface::TPluginDescriptor* XMP_STDCALL
XMPDSP_GetInterface2(uint32_t, host_interface::TGetHostTable getHostTable) {
    using namespace xmp_plovane;
    // Slots 6, 9, 10 and 11 are never written.
    PluginDescriptor.Flags = 0;
    PluginDescriptor.Name = PLUGIN_NAME;
    PluginDescriptor.ShowAbout = ShowAbout;
    PluginDescriptor.CreateInstance = CreateInstance;
    PluginDescriptor.FreeInstance = FreeInstance;
    PluginDescriptor.DescribeInstance = DescribeInstance;
    PluginDescriptor.ReadSettings = ReadSettings;
    PluginDescriptor.ApplySettings = ApplySettings;
    PluginDescriptor.PassSamples = PassSamples;
    HostTable = getHostTable != nullptr ? getHostTable(0) : nullptr;
    return &PluginDescriptor;
}
