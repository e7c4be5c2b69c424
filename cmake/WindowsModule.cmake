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

# A DLL we hand out, or one built exactly like it: also without libstdc++'s
# verbose terminate handler (see terminate_handler.cpp).
function(plovane_shipped_dll target)
  plovane_shipped_module(${target})
  if(MINGW)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/xmp_plovane/terminate_handler.cpp)
  endif()
endfunction()
