// The player's interface for DSP plug-ins, as far as this plug-in meets it:
// the descriptor the export returns, the routines in it, and the host's
// routine table. Every routine the host calls uses the standard calling
// convention (arguments on the stack, removed by the callee).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_M_IX86) || defined(__i386__)
#if defined(_MSC_VER)
#define XMP_STDCALL __stdcall
#else
#define XMP_STDCALL __attribute__((stdcall))
#endif
#else
#define XMP_STDCALL  // one calling convention only on other targets
#endif

namespace host_interface {

using TWindowHandle = void*;
using TInstance = void*;

using TShowAbout = void(XMP_STDCALL*)(TWindowHandle window);
using TCreateInstance = TInstance(XMP_STDCALL*)();
using TFreeInstance = void(XMP_STDCALL*)(TInstance instance);
using TDescribeInstance = const char*(XMP_STDCALL*)(TInstance instance);
using TReadSettings = uint32_t(XMP_STDCALL*)(TInstance instance, void* buffer);
using TApplySettings = uint32_t(XMP_STDCALL*)(TInstance instance, const void* buffer,
                                              uint32_t size);
using TPassSamples = uint32_t(XMP_STDCALL*)(TInstance instance, void* samples, uint32_t count);

// Thirteen pointer-sized slots.
struct TPluginDescriptor {
    uintptr_t Flags;  // an unsigned 32-bit flag word filling its slot
    const char* Name;
    TShowAbout ShowAbout;
    TCreateInstance CreateInstance;
    TFreeInstance FreeInstance;
    TDescribeInstance DescribeInstance;
    void* Slot6;
    TReadSettings ReadSettings;
    TApplySettings ApplySettings;
    void* Slot9;
    void* Slot10;
    void* Slot11;
    TPassSamples PassSamples;
};

// The host's routine table for interface number 0. Only the second entry is
// used here.
using TGetMainWindow = TWindowHandle(XMP_STDCALL*)();
struct THostTable {
    void* Routine0;
    TGetMainWindow GetMainWindow;
};

using TGetHostTable = const THostTable*(XMP_STDCALL*)(uint32_t interfaceNo);
using TGetInterface2 = TPluginDescriptor*(XMP_STDCALL*)(uint32_t interfaceNo,
                                                        TGetHostTable getHostTable);

// The layout the 32-bit host reads.
constexpr bool IS_32_BIT = sizeof(void*) == 4;
static_assert(!IS_32_BIT || sizeof(TPluginDescriptor) == 52, "descriptor size");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, Name) == 4, "slot 1");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, ShowAbout) == 8, "slot 2");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, CreateInstance) == 12, "slot 3");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, FreeInstance) == 16, "slot 4");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, DescribeInstance) == 20, "slot 5");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, Slot6) == 24, "slot 6");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, ReadSettings) == 28, "slot 7");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, ApplySettings) == 32, "slot 8");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, Slot9) == 36, "slot 9");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, Slot10) == 40, "slot 10");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, Slot11) == 44, "slot 11");
static_assert(!IS_32_BIT || offsetof(TPluginDescriptor, PassSamples) == 48, "slot 12");
static_assert(!IS_32_BIT || offsetof(THostTable, GetMainWindow) == 4, "host routine 2");

// The message that asks the host's main window to perform a shortcut
// (WM_USER + 26): wParam is the shortcut identifier, lParam 0.
constexpr uint32_t HOST_SHORTCUT_MESSAGE = 1050;
constexpr uintptr_t HOST_SHORTCUT_PLAY_PAUSE = 80;
constexpr uintptr_t HOST_SHORTCUT_STOP = 81;
constexpr uintptr_t HOST_SHORTCUT_NEXT_TRACK = 128;
constexpr uintptr_t HOST_SHORTCUT_PREVIOUS_TRACK = 129;

// Reasons the platform passes to a library's entry routine.
constexpr uint32_t DLL_PROCESS_DETACH_REASON = 0;
constexpr uint32_t DLL_PROCESS_ATTACH_REASON = 1;
constexpr uint32_t DLL_THREAD_ATTACH_REASON = 2;
constexpr uint32_t DLL_THREAD_DETACH_REASON = 3;

}  // namespace host_interface
