// The plug-in as the player sees it: the export, the descriptor and its
// routines, and the library's entry routine.
#pragma once

#include <cstdint>

#include "plovane_version.h"
#include "xmp_dsp.h"

// Contact for the about box: the project's maintainers.
#define PLOVANE_AUTHOR_CREDIT \
    "Written by the Plovane authors (maintainers@users.noreply.c-seed-d0ee4512.example)."

namespace xmp_plovane {

constexpr char PLUGIN_NAME[] = "Plovane";
constexpr char ABOUT_CAPTION[] = "Plovane " PLOVANE_VERSION;
constexpr char ABOUT_TEXT[] =
    "Plovane lets you control XMPlay with the media keys of your keyboard. "
    "Keys are: Play/Pause, Previous, Next and Stop. " PLOVANE_AUTHOR_CREDIT
    " New version was rewritten to do not use global hook on keyboard, which may sometimes "
    "not work on a systems with UAC enabled and no admin rights.";
constexpr uint32_t ABOUT_STYLE = 0x40;  // MB_OK | MB_ICONINFORMATION

// The one instance handle: the plug-in keeps no per-instance state.
constexpr uintptr_t INSTANCE_HANDLE = 1;

extern host_interface::TPluginDescriptor PluginDescriptor;
extern const host_interface::THostTable* HostTable;

void XMP_STDCALL ShowAbout(host_interface::TWindowHandle window);
host_interface::TInstance XMP_STDCALL CreateInstance();
void XMP_STDCALL FreeInstance(host_interface::TInstance instance);
const char* XMP_STDCALL DescribeInstance(host_interface::TInstance instance);
uint32_t XMP_STDCALL ReadSettings(host_interface::TInstance instance, void* buffer);
uint32_t XMP_STDCALL ApplySettings(host_interface::TInstance instance, const void* buffer,
                                   uint32_t size);
uint32_t XMP_STDCALL PassSamples(host_interface::TInstance instance, void* samples,
                                 uint32_t count);

// The library's entry routine, as the platform calls it; `processEnding` is
// true when a process detach comes from the process exiting rather than from
// an unload.
bool LibraryEntry(uint32_t reason, bool processEnding);

}  // namespace xmp_plovane

extern "C" host_interface::TPluginDescriptor* XMP_STDCALL
XMPDSP_GetInterface2(uint32_t interfaceNo, host_interface::TGetHostTable getHostTable);
