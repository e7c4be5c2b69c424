# How the Windows programs and DLLs we hand out are linked with MinGW: no
# symbols, no link time stamp (two builds of one commit are byte for byte
# the same), unused sections dropped.
function(plovane_reproducible_link target)
  if(MINGW)
    target_link_options(${target} PRIVATE -Wl,--gc-sections -Wl,--no-insert-timestamp -s)
  endif()
endfunction()

# A program we hand out (the stand-in player): its runtimes inside, since
# users have no libstdc++ or libgcc DLLs.
function(plovane_shipped_module target)
  plovane_reproducible_link(${target})
  if(MINGW)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# A DLL built as a general caller of global_hotkeys would build one (the
# end-to-end probe and its reference): MinGW's C and C++ runtimes inside,
# exceptions and all, with our changes to them
# (tests/windows/eh_probe/static_runtime.cpp).
function(plovane_general_dll target)
  plovane_shipped_module(${target})
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/windows/eh_probe/static_runtime.cpp)
endfunction()

# Code compiled for the DLL users get: nothing throws, so no exception or
# unwind tables; no run-time type information; no guarded statics.
function(plovane_no_runtime target)
  if(MINGW)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
      -fno-unwind-tables -fno-threadsafe-statics -fno-stack-protector)
  endif()
endfunction()

# The DLL users get: no C or C++ runtime at all. Its entry routine is the
# image's entry point, the few routines the compiler expects come from
# no_runtime.cpp, and it imports what our code calls from KERNEL32 and
# USER32, nothing else. Its header says what it is: relocatable
# (DYNAMIC_BASE), data not executable (NX_COMPAT) and, having no exception
# handlers, NO_SEH.
function(plovane_no_runtime_dll target entry)
  plovane_no_runtime(${target})
  plovane_reproducible_link(${target})
  if(MINGW)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/xmp_plovane/no_runtime.cpp)
    target_link_options(${target} PRIVATE -nostdlib -Wl,--entry=${entry} -Wl,--dynamicbase -Wl,--nxcompat
      -Wl,--no-seh)
    target_link_libraries(${target} PRIVATE kernel32 user32)
  endif()
endfunction()
