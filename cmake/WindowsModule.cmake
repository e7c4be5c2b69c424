# How the Windows programs and DLLs we hand out are linked with MinGW: the
# runtimes inside (users have no libstdc++ or libgcc DLLs), unused sections
# dropped, no symbols, and no link time stamp, so that two builds of one
# commit are byte for byte the same.
function(plovane_shipped_module target)
  if(MINGW)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
      -Wl,--gc-sections -Wl,--no-insert-timestamp -s)
  endif()
endfunction()

# A DLL we hand out, or one built exactly like it: also with our changes to
# the C++ runtime inside (see static_runtime.cpp).
function(plovane_shipped_dll target)
  plovane_shipped_module(${target})
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/xmp_plovane/static_runtime.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/xmp_plovane)
endfunction()
